#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

namespace quorvi::test {

namespace {

using Clock = std::chrono::steady_clock;

int Spawn(const std::vector<std::string>& argv, int& outFd, int* errFd) {
    int out[2];
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    if (errFd && ::pipe2(err, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        if (errFd) ::dup2(err[1], 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::_Exit(127);
    }
    ::close(out[1]);
    outFd = out[0];
    if (errFd) {
        ::close(err[1]);
        *errFd = err[0];
    }
    return pid;
}

bool ReadSome(int fd, std::string& into) {
    char buf[65536];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) into.append(buf, static_cast<size_t>(n));
    return n > 0;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    ProcessResult result;
    int outFd = -1;
    int errFd = -1;
    const int pid = Spawn(argv, outFd, &errFd);
    if (pid < 0) return result;
    const auto deadline = Clock::now() + timeout;
    bool outOpen = true;
    bool errOpen = true;
    while ((outOpen || errOpen) && Clock::now() < deadline) {
        pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
        if (::poll(fds, 2, 50) <= 0) continue;
        if (fds[0].revents) outOpen = ReadSome(outFd, result.out);
        if (fds[1].revents) errOpen = ReadSome(errFd, result.err);
    }
    int status = 0;
    if (outOpen || errOpen) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ::close(outFd);
    ::close(errFd);
    if (!(outOpen || errOpen) && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) { m_pid = Spawn(argv, m_outFd, nullptr); }

ChildProcess::~ChildProcess() { Stop(); }

void ChildProcess::Pump(std::chrono::milliseconds wait) {
    if (m_outFd < 0) return;
    pollfd fd{m_outFd, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(wait.count())) > 0) ReadSome(m_outFd, m_out);
}

bool ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (m_out.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        Pump(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ChildProcess::Output() {
    Pump(std::chrono::milliseconds(0));
    return m_out;
}

int ChildProcess::Interrupt(int signal, std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    ::kill(m_pid, signal);
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        Pump(std::chrono::milliseconds(20));
    }
    if (done != m_pid) return -1;  // Stop() kills it
    m_pid = -1;
    while (m_outFd >= 0 && ReadSome(m_outFd, m_out)) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void ChildProcess::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(m_pid, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (::waitpid(m_pid, &status, WNOHANG) == 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
    if (m_outFd >= 0) {
        Pump(std::chrono::milliseconds(0));
        ::close(m_outFd);
        m_outFd = -1;
    }
}

void RequirePrivateNetwork() {
    const char* inside = std::getenv("QUORVI_IN_NETNS");
    if (!inside || std::strcmp(inside, "1") != 0) {
        std::fprintf(stderr, "refusing to run: network tests run only through tests/netns-run\n");
        std::exit(1);
    }
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string FakecamPath() { return QUORVI_FAKECAM; }
std::string CliPath() { return QUORVI_CLI; }

namespace {
std::atomic<int> g_nextPort{18080};
}

std::vector<std::string> ProbeAnswerer(int devices, int maxDelayMs, const std::string& bind) {
    std::vector<std::string> args{
        FakecamPath(), "--devices", std::to_string(devices), "--max-delay-ms", std::to_string(maxDelayMs),
        "--no-http"};
    if (!bind.empty()) args.insert(args.end(), {"--bind", bind});
    return args;
}

FakeDevice::FakeDevice(const std::vector<std::string>& extra, std::string deviceHost, int devicePort)
    : host(std::move(deviceHost)), port(devicePort ? devicePort : g_nextPort++) {
    m_logPath = "/tmp/quorvi-fakecam-" + std::to_string(::getpid()) + "-" + std::to_string(port) + ".log";
    std::remove(m_logPath.c_str());
    std::vector<std::string> args{FakecamPath(),        "--bind",         host,    "--http-port",
                                  std::to_string(port), "--no-discovery", "--log", m_logPath};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const std::string& a : extra) tls = tls || a == "--tls";
    m_process = std::make_unique<ChildProcess>(args);
    m_ready = m_process->WaitForLine("ready");
    if (!m_ready) std::fprintf(stderr, "fakecam did not start: %s\n", m_process->Output().c_str());
}

FakeDevice::~FakeDevice() {
    m_process.reset();
    std::remove(m_logPath.c_str());
}

std::string FakeDevice::Url(int device) const {
    return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(port) + "/cam" +
           std::to_string(device) + "/onvif/device_service";
}

std::string FakeDevice::Log() const {
    std::ifstream in(m_logPath);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int FakeDevice::Count(const std::string& text) const {
    const std::string log = Log();
    int n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

std::vector<std::string> FakeDevice::Requests() const {
    std::istringstream in(Log());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("request ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

ProbeResponder::ProbeResponder(std::vector<std::string> answers, std::size_t pacingEvery,
                               std::chrono::milliseconds delay, const std::string& bind)
    : m_answers(std::move(answers)), m_pacing(pacingEvery), m_delay(delay) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(3702);
    ip_mreq m{};
    ::inet_pton(AF_INET, "239.255.255.250", &m.imr_multiaddr);
    ::inet_pton(AF_INET, bind.c_str(), &m.imr_interface);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
        std::fprintf(stderr, "ProbeResponder: cannot listen on %s:3702\n", bind.c_str());
    }
    timeval tv{0, 100000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    m_thread = std::thread([this] { Run(); });
}

ProbeResponder::~ProbeResponder() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
}

std::vector<std::string> ProbeResponder::Probes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

sockaddr_in ProbeResponder::LastSender() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sender;
}

void ProbeResponder::Run() {
    std::vector<char> buf(65536);
    while (!m_stop) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        const std::string datagram(buf.data(), static_cast<size_t>(n));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back(datagram);
            m_sender = from;
        }
        ++m_probes;
        if (datagram.find("NetworkVideoTransmitter") == std::string::npos) continue;
        std::this_thread::sleep_for(m_delay);
        for (size_t i = 0; i < m_answers.size(); ++i) {
            ::sendto(m_fd, m_answers[i].data(), m_answers[i].size(), 0, reinterpret_cast<sockaddr*>(&from),
                     sizeof from);
            if (m_pacing && i % m_pacing == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

RecordingListener::RecordingListener(std::string answer) : m_answer(std::move(answer)) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 16) != 0)
        std::fprintf(stderr, "RecordingListener: cannot listen on loopback\n");
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Run(); });
}
RecordingListener::~RecordingListener() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
}

std::string RecordingListener::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void RecordingListener::Run() {
    std::vector<int> clients;
    std::map<int, std::string> pending;
    while (!m_stop) {
        std::vector<pollfd> fds{{m_fd, POLLIN, 0}};
        for (int c : clients) fds.push_back({c, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
        if (fds[0].revents & POLLIN) clients.push_back(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            char buf[8192];
            const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                ::close(fds[i].fd);
                clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.append(buf, static_cast<size_t>(n));
            }
            std::string& p = pending[fds[i].fd];
            p.append(buf, static_cast<size_t>(n));
            // One answer per complete request (head and Content-Length body).
            for (;;) {
                const auto headEnd = p.find("\r\n\r\n");
                if (headEnd == std::string::npos) break;
                const auto lengthAt = p.find("Content-Length: ");
                const size_t length =
                    lengthAt < headEnd ? std::strtoul(p.c_str() + lengthAt + 16, nullptr, 10) : 0;
                if (p.size() < headEnd + 4 + length) break;
                p.erase(0, headEnd + 4 + length);
                ::send(fds[i].fd, m_answer.data(), m_answer.size(), MSG_NOSIGNAL);
            }
        }
    }
    for (int c : clients) ::close(c);
}

SilentListener::SilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(m_fd, 8);
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() { ::close(m_fd); }

int ClosedPort() {
    SilentListener l;
    return l.port;
}

quorvi::DiscoverySources QuietNetwork() {
    return {[] { return quorvi::AdapterList{"10.99.0.1"}; },
            [](const char*, quorvi::ReplyList&, const std::atomic<bool>* running) {
                while (running && running->load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return 0;
            }};
}

std::function<int(char*, int, const char*, const char*, const char*)> FakeLibrary::Function() {
    return [this](char* buf, int bufSize, const char* u, const char* n, const char* p) {
        ++calls;
        size = bufSize;
        uri = u;
        user = n;
        password = p;
        bufferZeroed = std::all_of(buf, buf + bufSize, [](char c) { return c == '\0'; });
        std::memcpy(buf, document.data(), std::min(document.size(), static_cast<size_t>(bufSize)));
        return result;
    };
}

}  // namespace quorvi::test

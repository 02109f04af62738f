#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryCycle.h"

namespace quorvi::test {

struct ProcessResult {
    int exitCode = -1;  // -1: killed or did not end in time
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after `timeout`), capturing its output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A helper process kept running for a test, e.g. fakecam; stopped and reaped on destruction.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until a line of its output contains `text`; false after `timeout`.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::string Output();  // everything it printed so far
    // Sends `signal` and waits for the process to end, reading what it prints meanwhile. Its exit status,
    // 128 + N when signal N ended it, or -1 when it did not end in time (then it is killed).
    int Interrupt(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Stop();

private:
    void Pump(std::chrono::milliseconds wait);
    int m_pid = -1;
    int m_outFd = -1;
    std::string m_out;
};

// Refuses to go on outside the private test network: nothing may be sent from the machine's own interfaces.
void RequirePrivateNetwork();

std::string FakecamPath();
// The CPU time this process has used so far, user and system, in seconds.
double CpuSeconds();
std::string CliPath();

// fakecam answering Probes only, as `devices` devices on `bind` (its default address when empty), each
// after a random delay of up to `maxDelayMs`; for a ChildProcess.
std::vector<std::string> ProbeAnswerer(int devices, int maxDelayMs, const std::string& bind = "");

// A simulated device (fakecam, without discovery) serving SOAP on host:port and logging every connection
// and request it sees; stopped on destruction. Port 0 takes the next of a range kept for tests.
class FakeDevice {
public:
    explicit FakeDevice(const std::vector<std::string>& extra = {}, std::string host = "127.0.0.1",
                        int port = 0);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    bool Ready() const { return m_ready; }
    std::string Url(int device = 0) const;  // the device service of simulated device `device`
    std::string Log() const;                // one line per connection and per request
    int Count(const std::string& text) const;
    std::vector<std::string> Requests() const;  // the log's request lines
    ChildProcess& Process() { return *m_process; }

    const std::string host;
    const int port;
    bool tls = false;

private:
    std::string m_logPath;
    std::unique_ptr<ChildProcess> m_process;
    bool m_ready = false;
};

// A device stand-in in the test process: joined to the discovery group on `bind` (port 3702, shared),
// it answers every Probe that asks for NetworkVideoTransmitter with `answers` (from its socket, to the
// Probe's source), `delay` after the Probe, pausing 1 ms after every `pacingEvery` datagrams; Probes for
// other types (tds:Device) are only recorded, as older devices match NetworkVideoTransmitter alone.
class ProbeResponder {
public:
    explicit ProbeResponder(std::vector<std::string> answers, std::size_t pacingEvery = 0,
                            std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                            const std::string& bind = "198.18.0.1");
    ~ProbeResponder();
    ProbeResponder(const ProbeResponder&) = delete;
    ProbeResponder& operator=(const ProbeResponder&) = delete;

    int ProbesSeen() const { return m_probes; }
    std::vector<std::string> Probes() const;  // every datagram received, in order
    sockaddr_in LastSender() const;

private:
    void Run();
    std::vector<std::string> m_answers;
    std::size_t m_pacing;
    std::chrono::milliseconds m_delay;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_probes{0};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_received;
    sockaddr_in m_sender{};
    std::thread m_thread;
};

// A listener on loopback that records every byte a client sends and gives every complete request (head
// and Content-Length body) `answer`; on a thread of its own, stopped on destruction.
class RecordingListener {
public:
    explicit RecordingListener(std::string answer);
    ~RecordingListener();
    RecordingListener(const RecordingListener&) = delete;
    RecordingListener& operator=(const RecordingListener&) = delete;
    std::string Received();
    int port = 0;

private:
    void Run();
    const std::string m_answer;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::string m_received;
    std::thread m_thread;
};

// A listener on loopback that accepts connections and never says a word.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port = 0;

private:
    int m_fd = -1;
};

// A loopback port nothing listens on (one a listener had a moment ago).
int ClosedPort();

// A network that never answers: the discovery worker sits in its exchange until it is asked to stop.
quorvi::DiscoverySources QuietNetwork();

// A stand-in for Onvif_GetStreamUri: answers with `document` and `result`, and records what it was given.
// The call may run on a thread of its own: read the record after it has ended.
struct FakeLibrary {
    int result = 2;
    std::string document =
        "<Onvif_GetStreamUri><item><Uri>rtsp://10.0.0.5/main</Uri></item><item><Uri>rtsp://10.0.0.5/sub</"
        "Uri></item>"
        "</Onvif_GetStreamUri>";
    std::atomic<int> calls{0};
    int size = 0;
    std::string uri, user, password;
    bool bufferZeroed = true;  // every byte of the buffer was NUL when the call began
    std::function<int(char*, int, const char*, const char*, const char*)> Function();
};

}  // namespace quorvi::test

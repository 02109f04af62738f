// Discovery on a real network: the private test network of tests/netns-run, with fakecam or an
// in-process responder answering.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "Announcements.h"
#include "DirectedProbe.h"
#include "DiscoveryCycle.h"
#include "MessageId.h"
#include "TestSupport.h"

using namespace quorvi;
using namespace quorvi::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kLocal = "198.18.0.1";

using Responder = ProbeResponder;

}  // namespace

TEST(ProbeExchange, CollectsEveryReplyForTheWholeWindow) {
    ChildProcess fakecam(ProbeAnswerer(7, 300));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    ReplyList replies;
    const auto start = Clock::now();
    EXPECT_EQ(ProbeOnAddress(kLocal, replies), 7);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(3));
    EXPECT_LT(took, std::chrono::milliseconds(4400));
    std::set<std::string> endpoints;
    for (const auto& r : replies) endpoints.insert(ExtractSighting(r).value().endpoint);
    EXPECT_EQ(endpoints.size(), 7u);
    EXPECT_NE(fakecam.Output().find("probe from 198.18.0.1:3704 urn:uuid:"), std::string::npos)
        << fakecam.Output();
}

TEST(ProbeExchange, TheWindowIsThreeAndAHalfSeconds) {
    Responder late({"<a:Address>urn:late</a:Address><d:XAddrs>http://h/late</d:XAddrs>"}, 0,
                   std::chrono::milliseconds(3300));
    ReplyList replies;
    const auto start = Clock::now();
    EXPECT_EQ(ProbeOnAddress(kLocal, replies), 1) << "a reply 3.3 s after the Probe is kept";
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(3500));
    EXPECT_LT(took, std::chrono::milliseconds(4000) + std::chrono::milliseconds(400))
        << "slack for a loaded machine";
}

TEST(ProbeExchange, RepliesToAnotherProbeAreNotKept) {
    for (const auto& [mode, expected] : {std::pair<std::string, int>{"foreign", 0}, {"sloppy", 3}}) {
        std::vector<std::string> args = ProbeAnswerer(3, 0);
        args.insert(args.end(), {"--relates-to", mode});
        ChildProcess fakecam(args);
        ASSERT_TRUE(fakecam.WaitForLine("ready"));
        ReplyList replies;
        EXPECT_EQ(ProbeOnAddress(kLocal, replies), expected) << mode;
        EXPECT_NE(fakecam.Output().find("probe from"), std::string::npos)
            << mode << ": the devices were asked";
    }
}

TEST(ProbeExchange, SendsTheProbeFromPort3704AndKeepsRepliesWhole) {
    std::string big = "<a:Address>urn:big</a:Address><d:XAddrs>http://big</d:XAddrs>";
    big.resize(10000, 'x');
    const std::string withNul("<a:Address>urn:n</a:Address>\0\0<d:XAddrs>h</d:XAddrs>\0end", 55);
    std::string largest(kMaxDatagram, 'L');
    Responder responder({big, withNul, largest});
    ReplyList replies;
    ASSERT_EQ(ProbeOnAddress(kLocal, replies), 3);
    EXPECT_EQ(replies[0], big);
    EXPECT_EQ(replies[1], withNul);
    EXPECT_EQ(replies[2].size(), kMaxDatagram);
    // The Probe once, the 768 bytes first, then the same for the device type with a MessageID of its own.
    const std::vector<std::string> probes = responder.Probes();
    ASSERT_EQ(probes.size(), 2u);
    const std::string probe = probes[0];
    EXPECT_EQ(probe.size(), 768u);
    EXPECT_EQ(probe.rfind("<Envelope", 0), 0u);
    EXPECT_NE(probe.find("<Types>dn:NetworkVideoTransmitter</Types>"), std::string::npos);
    EXPECT_NE(probes[1].find("<Types>tds:Device</Types>"), std::string::npos) << probes[1];
    EXPECT_NE(probes[1].find("xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\""), std::string::npos);
    const auto id = [](const std::string& p) { return p.substr(p.find("urn:uuid:"), 45); };
    EXPECT_NE(id(probe), id(probes[1]));
    EXPECT_EQ(ntohs(responder.LastSender().sin_port), 3704);
    char from[INET_ADDRSTRLEN];
    const sockaddr_in sender = responder.LastSender();
    ::inet_ntop(AF_INET, &sender.sin_addr, from, sizeof from);
    EXPECT_STREQ(from, kLocal);
}

TEST(ProbeExchange, MoreThanFourThousandRepliesAreAllKept) {
    // No cap on their number: a site of thousands of devices is found whole (the socket's buffer holds
    // them all even when the exchange is slow to drain it).
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) {
        many.push_back("<a:Address>urn:" + std::to_string(i) + "</a:Address><d:XAddrs>http://h/</d:XAddrs>");
    }
    Responder responder(many, 100);
    ReplyList replies;
    EXPECT_EQ(ProbeOnAddress(kLocal, replies), 5000);
}

TEST(ProbeExchange, FiveThousandDevicesAnsweringAtOnceAreFound) {
    ChildProcess fakecam(ProbeAnswerer(5000, 0));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    ReplyList replies;
    ProbeOnAddress(kLocal, replies);
    std::set<std::string> ids;
    for (const auto& r : replies) {
        if (const auto s = ExtractSighting(r)) ids.insert(s->endpoint);
    }
    // All of them here and in the benchmark; the bound leaves room for a busy machine dropping a few, and
    // is still past the count the exchange used to stop at.
    EXPECT_GT(ids.size(), 4096u);
    EXPECT_LE(ids.size(), 5000u);
}

TEST(ProbeExchange, AFloodOfLargeDatagramsIsCappedInBytes) {
    const size_t fit = kMaxReplyBytesPerExchange / kMaxDatagram;
    std::vector<std::string> flood;
    for (size_t i = 0; i < fit + 100; ++i) {
        flood.push_back(std::to_string(i));  // each its own: identical answers are kept once
        flood.back().resize(kMaxDatagram, 'F');
    }
    Responder responder(flood, 8);
    ReplyList replies;
    // A bound, not a count: on a busy machine the kernel may drop some of the flood before it is read.
    const int kept = ProbeOnAddress(kLocal, replies);
    EXPECT_GE(kept, 1);
    EXPECT_LE(kept, static_cast<int>(fit));
    size_t bytes = 0;
    for (const auto& r : replies) bytes += r.size();
    EXPECT_LE(bytes, kMaxReplyBytesPerExchange);
}

TEST(ProbeExchange, PortAlreadyTakenFailsAndSendsNothing) {
    Responder responder({"x"});
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(3704);
    ::inet_pton(AF_INET, kLocal, &local.sin_addr);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ReplyList replies{"kept"};
    EXPECT_EQ(ProbeOnAddress(kLocal, replies), -1);
    EXPECT_EQ(replies, ReplyList{"kept"});
    ::close(blocker);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(responder.ProbesSeen(), 0);
}

TEST(ProbeExchange, BadAddressesFailWithoutDrawingAMessageId) {
    for (const char* address : {"not-an-address", "198.18.0", "", "255.255.255.255", "198.18.0.77"}) {
        SCOPED_TRACE(address);
        const uint32_t before = ProcessMessageIds().State();
        ReplyList replies;
        EXPECT_EQ(ProbeOnAddress(address, replies), -1) << address;
        EXPECT_EQ(ProcessMessageIds().State(), before) << address;
    }
    ReplyList replies;
    EXPECT_EQ(ProbeOnAddress(nullptr, replies), -1);
}

TEST(ProbeExchange, AStopRequestEndsTheExchangePromptly) {
    std::atomic<bool> running{true};
    std::atomic<int64_t> stoppedAt{0};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stoppedAt = Clock::now().time_since_epoch().count();
        running = false;
    });
    ReplyList replies;
    EXPECT_EQ(ProbeOnAddress(kLocal, replies, &running), 0);
    const auto returnedAt = Clock::now().time_since_epoch().count();
    stopper.join();
    EXPECT_LT(std::chrono::nanoseconds(returnedAt - stoppedAt.load()), std::chrono::milliseconds(500));
}

TEST(DirectedProbe, RepliesFromAddressesNotProbedAreDropped) {
    // The device at the one target answers; meanwhile someone floods the probe's port from loopback, an
    // address no directed probe ever goes to.
    Responder device({"<a:Address>urn:real</a:Address><d:XAddrs>http://198.18.0.1/onvif</d:XAddrs>"});
    std::atomic<bool> done{false};
    std::thread forger([&] {
        while (device.ProbesSeen() == 0 && !done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (done) return;
        sockaddr_in to = device.LastSender();
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        for (int i = 0; i < 2000 && !done; ++i) {
            const std::string forged =
                "<a:Address>urn:forged-" + std::to_string(i) + "</a:Address><d:XAddrs>http://x/</d:XAddrs>";
            ::sendto(fd, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        ::close(fd);
    });
    std::string error;
    const auto targets = ParseTargets({kLocal}, error);
    ASSERT_TRUE(targets) << error;
    ReplyList replies;
    ProbeTargets(*targets, 1000, replies);
    done = true;
    forger.join();
    ASSERT_EQ(device.ProbesSeen(), 2) << "the Probe and the device-type Probe";
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(ExtractSighting(replies[0])->endpoint, "urn:real");
}

TEST(DirectedProbe, ReachesADeviceOnAnotherNetworkAtTheRateAsked) {
    const char* routed = std::getenv("QUORVI_NETNS_ROUTED");
    if (!routed || std::string(routed) != "1") GTEST_SKIP() << "needs the second network";
    ChildProcess fakecam(ProbeAnswerer(2, 0, "198.18.1.9"));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    std::string error;
    const auto targets = ParseTargets({"198.18.1.0/28"}, error);
    ASSERT_TRUE(targets) << error;
    ReplyList replies;
    const auto start = Clock::now();
    EXPECT_EQ(ProbeTargets(*targets, 20, replies), 2);
    const auto took = Clock::now() - start;
    // 14 Probes at 20 a second take 0.65 s to send, then the window runs from the last.
    EXPECT_GE(took, std::chrono::milliseconds(650 + 3500));
    EXPECT_LT(took, std::chrono::milliseconds(650 + 4400));
    const std::string log = fakecam.Output();
    EXPECT_NE(log.find("probe from 198.18.1."), std::string::npos) << log;
    EXPECT_EQ(log.find(":3704 "), std::string::npos) << "a directed probe goes out from an ephemeral port\n"
                                                     << log;
    for (const auto& r : replies) EXPECT_NE(r.find("198.18.1.9:8080"), std::string::npos) << r;
}

TEST(DirectedProbe, CliMergesDirectedRepliesIntoTheRows) {
    const char* routed = std::getenv("QUORVI_NETNS_ROUTED");
    if (!routed || std::string(routed) != "1") GTEST_SKIP() << "needs the second network";
    ChildProcess fakecam(ProbeAnswerer(3, 0, "198.18.1.9"));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const ProcessResult r =
        RunProcess({CliPath(), "discover", "--json", "--target", "198.18.1.8-198.18.1.10", "--rate", "50"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    EXPECT_EQ(rows.size(), 3) << r.out;
    for (const auto& v : rows)
        EXPECT_TRUE(v.toObject()["onvif"].toString().startsWith("http://198.18.1.9:8080/"));
    // Its own multicast reaches it too (198.18.1.9 is a local address here); the directed Probe is the one
    // from an ephemeral port.
    const QStringList probes = QString::fromStdString(fakecam.Output()).split('\n').filter("probe from");
    EXPECT_GE(probes.size() - probes.filter(":3704 ").size(), 1) << fakecam.Output();
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--target", "10.0.0.0/8"},
                                                {"--target", "127.0.0.1"},
                                                {"--target", "224.0.0.1"},
                                                {"--target", "10.0.0.1", "--rate", "0"},
                                                {"--target", "10.0.0.1", "--rate", "1e3"},
                                                {"--rate", "5"}}) {
        std::vector<std::string> args{CliPath(), "discover"};
        args.insert(args.end(), bad.begin(), bad.end());
        const ProcessResult refused = RunProcess(args);
        EXPECT_EQ(refused.exitCode, 2) << bad[1];
        EXPECT_FALSE(refused.err.empty());
    }
}

namespace {

// A TCP listener on address:port in a thread of its own: it answers every connection with `reply` (a
// printer's web page, say), or with nothing at all when `reply` is empty (a host that accepts and stalls).
class TcpListener {
public:
    TcpListener(const char* address, int port, std::string reply) : m_reply(std::move(reply)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &a.sin_addr);
        ready = ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_fd, 64) == 0;
        if (ready && !m_reply.empty()) {
            m_thread = std::thread([this] {
                for (;;) {
                    const int c = ::accept(m_fd, nullptr, nullptr);
                    if (c < 0) return;
                    char buffer[4096];
                    (void)::recv(c, buffer, sizeof buffer, 0);
                    (void)::send(c, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
                    ::close(c);
                }
            });
        }
    }
    ~TcpListener() {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        if (m_thread.joinable()) m_thread.join();
    }
    bool ready = false;

private:
    int m_fd = -1;
    std::string m_reply;
    std::thread m_thread;
};

}  // namespace

// A camera whose discovery is turned off answers no Probe; looked for on its ONVIF port it is found, and
// nothing but one unauthenticated GetSystemDateAndTime reaches it. A printer's web page is no camera, and a
// host that accepts and never answers holds the look-up up for its bound only.
TEST(DirectedProbe, DevicesThatAnswerNoProbeAreFoundOnTheirPort) {
    const char* routed = std::getenv("QUORVI_NETNS_ROUTED");
    if (!routed || std::string(routed) != "1") GTEST_SKIP() << "needs the second network";
    const std::string log = "/tmp/quorvi-ports-" + std::to_string(::getpid()) + ".log";
    ChildProcess fakecam({FakecamPath(), "--bind", "198.18.1.9", "--http-port", "8899", "--no-discovery",
                          "--auth", "digest", "--log", log});
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    TcpListener printer(
        "198.18.1.9", 80,
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 44\r\nConnection: close\r\n\r\n"
        "<html><body>Printer status: OK</body></html>");
    TcpListener stalling("198.18.1.9", 8000, "");
    ASSERT_TRUE(printer.ready && stalling.ready);

    const auto plain = std::chrono::steady_clock::now();
    const ProcessResult none = RunProcess({CliPath(), "discover", "--json", "--target", "198.18.1.9"});
    const auto withoutPorts = std::chrono::steady_clock::now() - plain;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(none.out)).array().size(), 0)
        << "not looked for unless asked: " << none.out;

    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r =
        RunProcess({CliPath(), "discover", "--json", "--target", "198.18.1.9", "--ports", "default"});
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(rows.size(), 1) << "the camera, not the printer nor the stalling host: " << r.out;
    const QJsonObject row = rows[0].toObject();
    EXPECT_EQ(row["onvif"].toString(), "http://198.18.1.9:8899/onvif/device_service");
    EXPECT_EQ(row["foundBy"].toString(), "port");
    EXPECT_EQ(row["port"].toInt(), 8899);
    // The same cycle as without them, then the look-ups: the stalling host costs its 2 s at most (generous
    // slack for a loaded machine; without a bound it would hold the cycle for good).
    EXPECT_LT(took, withoutPorts + std::chrono::seconds(8));
    std::ifstream in(log);
    const std::string requests((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t asked = 0;
    for (std::size_t at = requests.find("request "); at != std::string::npos;
         at = requests.find("request ", at + 1))
        ++asked;
    EXPECT_EQ(asked, 1u) << requests;
    EXPECT_NE(requests.find("op=GetSystemDateAndTime authorization=none wsse=no"), std::string::npos)
        << requests;
    std::remove(log.c_str());

    for (const char* bad : {"0", "70000", "80,,81", "http"}) {
        EXPECT_EQ(RunProcess({CliPath(), "discover", "--target", "198.18.1.9", "--ports", bad}).exitCode, 2)
            << bad;
    }
    EXPECT_EQ(RunProcess({CliPath(), "discover", "--ports", "default"}).exitCode, 2)
        << "--ports goes with --target";
}

TEST(DirectedProbe, CliSendsAtTheRateAsked) {
    const char* routed = std::getenv("QUORVI_NETNS_ROUTED");
    if (!routed || std::string(routed) != "1") GTEST_SKIP() << "needs the second network";
    ChildProcess fakecam(ProbeAnswerer(1, 0, "198.18.1.9"));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const auto listening = Clock::now();
    // The device is the first of eight targets: at 2 probes a second the last goes out 3.5 s after its
    // Probe, and the run ends a window (3.5 s) after that.
    const ProcessResult r =
        RunProcess({CliPath(), "discover", "--target", "198.18.1.9,198.18.1.2-198.18.1.8", "--rate", "2"});
    const auto ended =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - listening).count();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    long long directed = -1;
    const QRegularExpression line("probe from [0-9.]+:(\\d+) \\S+ at=(\\d+)");
    for (const QString& text : QString::fromStdString(fakecam.Output()).split('\n')) {
        const auto m = line.match(text);
        if (m.hasMatch() && m.captured(1) != "3704") directed = m.captured(2).toLongLong();
    }
    ASSERT_GE(directed, 0) << fakecam.Output();
    // Sending faster only shortens this; a loaded machine only lengthens it.
    EXPECT_GE(ended - directed, 3500 + 2500) << fakecam.Output();
}

TEST(LocalAdapters, ListsTheTestAdapterButNotLoopback) {
    AdapterList adapters;
    const int n = GetLocalAdapters(adapters);
    EXPECT_EQ(n, static_cast<int>(adapters.size()));
    AdapterList expected{kLocal};
    if (const char* second = std::getenv("QUORVI_NETNS_SECOND"); second && std::string(second) == "1")
        expected.push_back("198.18.0.2");
    EXPECT_EQ(adapters, expected);
}

TEST(DiscoveryCycleOnTheNetwork, EveryAddressGetsItsExchangeInOrder) {
    const char* second = std::getenv("QUORVI_NETNS_SECOND");
    if (!second || std::string(second) != "1") GTEST_SKIP() << "needs the two-address adapter";
    ChildProcess fakecam(ProbeAnswerer(2, 0));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    std::atomic<bool> running{true};
    std::vector<Sighting> seen;
    EXPECT_EQ(RunDiscoveryCycles(
                  running, DiscoverySources{}, [&](const Sighting& s) { seen.push_back(s); }, 1),
              1);
    const std::string log = fakecam.Output();
    const auto first = log.find("probe from 198.18.0.1:3704");
    const auto secondProbe = log.find("probe from 198.18.0.2:3704");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(secondProbe, std::string::npos) << log;
    EXPECT_LT(first, secondProbe);
    EXPECT_EQ(seen.size(), 4u) << "two devices seen from each of two addresses";
}

TEST(Cli, DiscoverListsExactlyTheSimulatedDevices) {
    ChildProcess fakecam(ProbeAnswerer(4, 200));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const ProcessResult r = RunProcess({CliPath(), "discover", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(rows.size(), 4) << r.out;
    std::set<QString> ids, services;
    for (const auto& v : rows) {
        const QJsonObject row = v.toObject();
        ids.insert(row["id"].toString());
        services.insert(row["onvif"].toString());
        EXPECT_TRUE(
            QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(row["time_online"].toString()).hasMatch());
    }
    EXPECT_EQ(ids.size(), 4u);
    for (const auto& v : rows) {
        const QJsonObject row = v.toObject();
        const QString camera = row["onvif"].toString().section('/', 3, 3).mid(3);  // "cam2" -> "2"
        EXPECT_EQ(row["name"].toString(), "Fake Camera " + camera);
        EXPECT_EQ(row["hardware"].toString(), "FC-" + QString::number(100 + camera.toInt() % 7));
        EXPECT_EQ(row["location"].toString(), "lab");
        EXPECT_EQ(row["xaddrs"].toArray().size(), 2);
        EXPECT_EQ(row["host"].toString(), "198.18.0.1");
        EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                        .match(row["last_seen"].toString())
                        .hasMatch());
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(services.count(QString("http://198.18.0.1:8080/cam%1/onvif/device_service").arg(i)), 1u)
            << r.out;
    }
}

// Devices as they come: an unreachable address listed first, entries on lines of their own, devices that
// answer only Probes for tds:Device.
struct DeviceManner {
    const char* name;
    std::vector<std::string> args;
};

class DevicesAsTheyCome : public ::testing::TestWithParam<DeviceManner> {};

TEST_P(DevicesAsTheyCome, AreFoundAtTheAddressThatWorks) {
    std::vector<std::string> args = ProbeAnswerer(3, 0);
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    ChildProcess fakecam(args);
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const ProcessResult r = RunProcess({CliPath(), "discover", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(rows.size(), 3) << r.out;
    for (const auto& v : rows) {
        const QJsonObject row = v.toObject();
        EXPECT_TRUE(QRegularExpression("^http://198\\.18\\.0\\.1:8080/cam\\d/onvif/device_service$")
                        .match(row["onvif"].toString())
                        .hasMatch())
            << r.out;
        EXPECT_EQ(row["xaddrs"].toArray().size(), 2) << "every entry, in the device's order";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, DevicesAsTheyCome,
    ::testing::Values(DeviceManner{"LinkLocalFirst", {"--xaddrs-order", "linklocal-first"}},
                      DeviceManner{"Ipv6LinkLocalFirst", {"--xaddrs-order", "ipv6-first"}},
                      DeviceManner{"EntriesOnLinesOfTheirOwn", {"--xaddrs-separator", "newline"}},
                      DeviceManner{"EntriesSeparatedByATab", {"--xaddrs-separator", "tab"}},
                      DeviceManner{"OnlyTheDeviceType", {"--types", "device-only"}},
                      DeviceManner{"CopiesToTheGroup", {"--probe-matches-copy-to-group", "--hello"}}),
    [](const ::testing::TestParamInfo<DeviceManner>& i) { return std::string(i.param.name); });

TEST(Announcements, OnlyHelloAndByeOfVideoDevicesCount) {
    const std::string head =
        "<e:Envelope><e:Header><w:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/";
    const std::string hello =
        head +
        "Hello</w:Action></e:Header><e:Body><d:Hello><w:EndpointReference><w:Address>urn:a"
        "</w:Address></w:EndpointReference><d:Types>dn:NetworkVideoTransmitter</d:Types>"
        "<d:XAddrs>http://169.254.0.9/a http://10.0.0.5/b</d:XAddrs></d:Hello></e:Body>";
    const auto a = ReadAnnouncement(hello, "10.0.0.5");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, Announcement::Hello);
    EXPECT_EQ(a->sighting.endpoint, "urn:a");
    EXPECT_EQ(a->sighting.service, "http://10.0.0.5/b");
    std::string printer = hello;
    printer.replace(printer.find("dn:NetworkVideoTransmitter"), 26, "pr:Printer");
    EXPECT_FALSE(ReadAnnouncement(printer)) << "another kind of device";
    std::string untyped = hello;
    untyped.replace(untyped.find("<d:Types>dn:NetworkVideoTransmitter</d:Types>"), 45, "");
    EXPECT_TRUE(ReadAnnouncement(untyped)) << "no Types: may be a camera";
    const auto bye = ReadAnnouncement(head +
                                      "Bye</w:Action></e:Header><e:Body><d:Bye><w:EndpointReference>"
                                      "<w:Address>urn:a</w:Address></w:EndpointReference></d:Bye></e:Body>");
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->kind, Announcement::Bye);
    EXPECT_EQ(bye->sighting.endpoint, "urn:a");
    // gSOAP writes a ReplyTo header with the anonymous address before the body's endpoint.
    const auto gsoapBye = ReadAnnouncement(
        head +
            "Bye</w:Action><w:ReplyTo><w:Address>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/"
            "anonymous</w:Address></w:ReplyTo></e:Header><e:Body><d:Bye><w:EndpointReference>"
            "<w:Address>urn:a</w:Address></w:EndpointReference></d:Bye></e:Body>",
        "10.0.0.5");
    ASSERT_TRUE(gsoapBye);
    EXPECT_EQ(gsoapBye->sighting.endpoint, "urn:a");
    EXPECT_EQ(gsoapBye->sighting.source, "10.0.0.5") << "a goodbye says where it came from";
    // Newer devices and recorders name only tds:Device.
    std::string deviceOnly = hello;
    deviceOnly.replace(deviceOnly.find("dn:NetworkVideoTransmitter"), 26, "tds:Device");
    EXPECT_TRUE(ReadAnnouncement(deviceOnly, "10.0.0.5")) << "a device-type Hello";
    // Several addresses: the one the Hello came from is the one that works.
    std::string several = hello;
    several.replace(several.find("http://169.254.0.9/a http://10.0.0.5/b"), 38,
                    "http://10.0.0.7/a http://10.0.0.5/b http://10.0.0.9/c");
    const auto fromFive = ReadAnnouncement(several, "10.0.0.5");
    ASSERT_TRUE(fromFive);
    EXPECT_EQ(fromFive->sighting.service, "http://10.0.0.5/b");
    EXPECT_EQ(fromFive->sighting.source, "10.0.0.5");
    std::string matches = hello;
    matches.replace(matches.find("Hello</w:Action>"), 5, "ProbeMatches");
    EXPECT_FALSE(ReadAnnouncement(matches)) << "a ProbeMatches copied to the group is no announcement";
    EXPECT_FALSE(
        ReadAnnouncement(std::string("<w:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello"
                                     "</w:Action>\0<d:Hello><w:Address>x</w:Address><d:XAddrs>y</d:XAddrs>",
                                     130)))
        << "nothing after a NUL counts";
}

TEST(Cli, CamerasWithAReplyToHeaderKeepARowEach) {
    std::vector<std::string> args = ProbeAnswerer(2, 0);
    args.push_back("--reply-to-header");
    ChildProcess fakecam(args);
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const ProcessResult r = RunProcess({CliPath(), "discover", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(rows.size(), 2) << r.out;
    for (const auto& v : rows) EXPECT_TRUE(v.toObject()["id"].toString().startsWith("urn:uuid:")) << r.out;
}

TEST(Cli, PlainOutputIsOneTabSeparatedLinePerDevice) {
    ChildProcess fakecam(ProbeAnswerer(2, 0));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const ProcessResult r = RunProcess({CliPath(), "discover"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const QStringList lines = QString::fromStdString(r.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << r.out;
    for (const QString& line : lines) {
        const QStringList cells = line.split('\t');
        ASSERT_EQ(cells.size(), 3) << line.toStdString();
        EXPECT_TRUE(cells[0].startsWith("urn:uuid:"));
        EXPECT_TRUE(cells[2].startsWith("http://198.18.0.1:8080/cam"));
    }
}

TEST(Cli, ArgumentsAreChecked) {
    EXPECT_EQ(RunProcess({CliPath(), "--version"}).out, "quorvi-cli 1.0.0.1\n");
    EXPECT_EQ(RunProcess({CliPath(), "--help"}).exitCode, 0);
    for (std::vector<std::string> bad : {std::vector<std::string>{},
                                         {"frobnicate"},
                                         {"discover", "--cycles"},
                                         {"discover", "--cycles", "0"},
                                         {"discover", "--cycles", "2x"},
                                         {"discover", "--cycles", " 5"},
                                         {"discover", "--cycles", "+3"},
                                         {"discover", "--cycles", "0x10"},
                                         {"discover", "--loud"},
                                         {"streams", "-x"},
                                         {"streams", "http://h/", "-x"},
                                         {"discover", "--target", " , "}}) {
        bad.insert(bad.begin(), CliPath());
        const ProcessResult r = RunProcess(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.back();
        EXPECT_FALSE(r.err.empty());
    }
    // A blank item among the SPECs is skipped, as the window's dialog does.
    const ProcessResult blank = RunProcess({CliPath(), "discover", "--target", "198.18.0.7, ,198.18.0.8"});
    EXPECT_EQ(blank.exitCode, 0) << blank.err;
    for (const std::string command : {"discover", "streams"}) {
        SCOPED_TRACE(command);
        const ProcessResult help = RunProcess({CliPath(), command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_NE(help.out.find("usage:"), std::string::npos) << command;
    }
}

TEST(Cli, PlainOutputCannotBeForgedOrReachTheTerminal) {
    std::vector<std::string> args = ProbeAnswerer(1, 0);
    args.insert(args.end(), {"--id-suffix", R"(\\\n\tforged\t12:00:00\thttp://evil/\r\e]0;title\a\x7f)"});
    ChildProcess fakecam(args);
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    const ProcessResult r = RunProcess({CliPath(), "discover"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    const QStringList cells = QString::fromStdString(r.out).trimmed().split('\t');
    ASSERT_EQ(cells.size(), 3) << r.out;
    EXPECT_TRUE(cells[0].endsWith(R"(\\\n\tforged\t12:00:00\thttp://evil/\r\x1b]0;title\x07\x7f)")) << r.out;
    for (const char c : r.out)
        EXPECT_TRUE(c == '\t' || c == '\n' || static_cast<unsigned char>(c) >= 0x20) << r.out;

    const ProcessResult json = RunProcess({CliPath(), "discover", "--json"});
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
    ASSERT_EQ(rows.size(), 1) << json.out;
    EXPECT_TRUE(rows[0].toObject()["id"].toString().endsWith("\x1b]0;title\x07\x7f"))
        << "JSON keeps the text";
}

TEST(Cli, EightBitAndBidirectionalControlsNeverReachTheTerminal) {
    // U+009B is the 8-bit CSI; U+202E turns the rest of a line around; U+2066 and U+200F the same kind.
    std::vector<std::string> args = ProbeAnswerer(1, 0);
    args.insert(args.end(), {"--id-suffix", R"(-\xc2\x9b31m-\xe2\x80\xaegpj.exe-\xe2\x81\xa6-\xe2\x80\x8f)"});
    ChildProcess fakecam(args);
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json);
        std::vector<std::string> cli{CliPath(), "discover"};
        if (json) cli.push_back("--json");
        const ProcessResult r = RunProcess(cli);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const char* raw : {"\xc2\x9b", "\xe2\x80\xae", "\xe2\x81\xa6", "\xe2\x80\x8f"}) {
            SCOPED_TRACE(raw);
            EXPECT_EQ(r.out.find(raw), std::string::npos) << (json ? "json: " : "plain: ") << r.out;
        }
        if (json) {
            const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
            ASSERT_EQ(rows.size(), 1) << r.out;
            EXPECT_TRUE(rows[0].toObject()["id"].toString().endsWith(
                QString::fromUtf8("-\xc2\x9b"
                                  "31m-\xe2\x80\xaegpj.exe-\xe2\x81\xa6-\xe2\x80\x8f")))
                << "escaped, the text is the same: " << r.out;
            EXPECT_NE(r.out.find("\\u009b"), std::string::npos) << r.out;
        } else {
            EXPECT_NE(r.out.find("-\\x9b31m-\\u{202e}gpj.exe-\\u{2066}-\\u{200f}"), std::string::npos)
                << r.out;
        }
    }
}

TEST(Cli, AStopSignalStillPrintsWhatWasFound) {
    ChildProcess fakecam(ProbeAnswerer(2, 0));
    ASSERT_TRUE(fakecam.WaitForLine("ready"));
    for (const auto& [signal, json] : {std::pair<int, bool>{SIGINT, true}, {SIGTERM, false}}) {
        std::vector<std::string> args{CliPath(), "discover", "--cycles", "100"};
        if (json) args.push_back("--json");
        ChildProcess cli(args);
        // The first exchange's window is 3.5 s; both devices answer at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(4500));
        const auto start = Clock::now();
        EXPECT_EQ(cli.Interrupt(signal), 128 + signal);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
        const std::string out = cli.Output();
        if (json) {
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(out), &error);
            EXPECT_EQ(error.error, QJsonParseError::NoError) << out;
            EXPECT_EQ(doc.array().size(), 2) << out;
        } else {
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
        }
    }
}

int main(int argc, char** argv) {
    RequirePrivateNetwork();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// IPv6 (QUORVI_NETNS_IPV6=1: fe80::1 and 2001:db8::1 on q0). A device on each kind of address is found on
// ff02::c and read, checked and pictured through the row's service address; the zone a link-local address
// needs goes into the addresses, never into a request's Host header.
TEST(Ipv6, ADeviceIsFoundAndReadOverALinkLocalAndAGlobalAddress) {
    const char* ipv6 = std::getenv("QUORVI_NETNS_IPV6");
    if (!ipv6 || std::string(ipv6) != "1") GTEST_SKIP() << "needs IPv6 in the private network";
    struct Case {
        const char* bind;
        const char* onvif;
        const char* streamHost;
    };
    for (const Case& c : {Case{"fe80::1%q0", "http://[fe80::1%25q0]:18180/cam0/onvif/device_service",
                               "rtsp://admin:pw@[fe80::1%25q0]:18554/"},
                          Case{"2001:db8::1%q0", "http://[2001:db8::1]:18180/cam0/onvif/device_service",
                               "rtsp://admin:pw@[2001:db8::1]:18554/"}}) {
        SCOPED_TRACE(c.bind);
        const std::string log = "/tmp/quorvi-ipv6-" + std::to_string(::getpid()) + ".log";
        ChildProcess fakecam({FakecamPath(), "--bind", c.bind, "--devices", "1", "--http-port", "18180",
                              "--rtsp-port", "18554", "--auth", "digest", "--user", "admin", "--password",
                              "pw", "--log", log});
        ASSERT_TRUE(fakecam.WaitForLine("ready"));

        const ProcessResult found = RunProcess({CliPath(), "discover", "--json", "--ipv6-only"});
        ASSERT_EQ(found.exitCode, 0) << found.err;
        const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(found.out)).array();
        ASSERT_EQ(rows.size(), 1) << found.out;
        const std::string onvif = rows[0].toObject()["onvif"].toString().toStdString();
        EXPECT_EQ(onvif, c.onvif);
        const ProcessResult v4 = RunProcess({CliPath(), "discover", "--json", "--ipv4-only"});
        EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(v4.out)).array().size(), 0) << v4.out;

        const ProcessResult streams = RunProcess(
            {CliPath(), "streams", onvif, "--user", "admin", "--password", "pw", "--check", "--json"});
        ASSERT_EQ(streams.exitCode, 0) << streams.err;
        const QJsonObject s = QJsonDocument::fromJson(QByteArray::fromStdString(streams.out)).object();
        for (const char* which : {"mainStream", "subStream"})
            EXPECT_EQ(s[which].toString().toStdString().rfind(c.streamHost, 0), 0u) << streams.out;
        EXPECT_EQ(s["mainCheck"].toObject()["state"].toString(), "plays") << streams.out;
        EXPECT_EQ(s["subCheck"].toObject()["state"].toString(), "plays") << streams.out;

        const std::string picture = "/tmp/quorvi-ipv6-" + std::to_string(::getpid()) + ".jpg";
        const ProcessResult snapshot =
            RunProcess({CliPath(), "snapshot", onvif, "--user", "admin", "--password", "pw", "-o", picture});
        EXPECT_EQ(snapshot.exitCode, 0) << snapshot.err;
        std::ifstream jpeg(picture, std::ios::binary);
        EXPECT_EQ(jpeg.get(), 0xFF);
        std::remove(picture.c_str());

        std::ifstream in(log);
        const std::string requests((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(requests.find("host=["), std::string::npos) << requests;
        EXPECT_EQ(requests.find('%'), std::string::npos) << "a zone went to the device:\n" << requests;
        std::remove(log.c_str());
    }
    EXPECT_EQ(RunProcess({CliPath(), "discover", "--ipv4-only", "--ipv6-only"}).exitCode, 2);
    EXPECT_EQ(RunProcess({CliPath(), "discover", "--ipv6-only", "--target", "198.18.1.9"}).exitCode, 2);
}

TEST(Ipv6, HelloAndByeAreHeardOnTheLinks) {
    const char* ipv6 = std::getenv("QUORVI_NETNS_IPV6");
    if (!ipv6 || std::string(ipv6) != "1") GTEST_SKIP() << "needs IPv6 in the private network";
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::vector<Announcement> heard;
    std::string error;
    bool listening = false;
    std::thread listener([&] {
        listening = ListenForAnnouncements(
            running, [] { return AdapterList{}; }, SystemIpv6Links(),
            [&](const Announcement& a) {
                std::lock_guard<std::mutex> lock(mutex);
                heard.push_back(a);
            },
            error);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        ChildProcess fakecam(
            {FakecamPath(), "--bind", "fe80::1%q0", "--devices", "1", "--http-port", "18181", "--hello"});
        ASSERT_TRUE(fakecam.WaitForLine("ready"));
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!heard.empty()) break;
        }
    }  // fakecam says goodbye as it leaves
    const auto until = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (heard.size() >= 2 || Clock::now() > until) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    running = false;
    listener.join();
    ASSERT_TRUE(listening) << error;
    ASSERT_GE(heard.size(), 2u);
    EXPECT_EQ(heard[0].kind, Announcement::Hello);
    EXPECT_EQ(heard[0].sighting.source, "fe80::1%q0");
    EXPECT_EQ(heard[0].sighting.service, "http://[fe80::1%25q0]:18181/cam0/onvif/device_service");
    EXPECT_EQ(heard.back().kind, Announcement::Bye);
    EXPECT_EQ(heard.back().sighting.endpoint, heard[0].sighting.endpoint);
}

// The WS-Discovery side of the simulated devices. Written on its own, from the protocol, so that it
// checks the program's discovery code rather than mirroring it.
#include "Discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <queue>
#include <random>
#include <vector>

#include "Net.h"
#include "Xml.h"

namespace fakecam {

namespace {

using Clock = std::chrono::steady_clock;

struct PendingReply {
    Clock::time_point due;
    sockaddr_storage to;
    socklen_t toLength;
    std::string payload;
    bool operator>(const PendingReply& o) const { return due > o.due; }
};

struct ProbeInfo {
    std::string messageId;
    bool wanted = false;
};

// A Probe we answer: Body/Probe whose Types is empty or asks for a video transmitter or a device (with
// --types device-only, as newer devices and recorders do: empty or a device only).
bool ReadProbe(const Options& o, const std::string& datagram, ProbeInfo& info) {
    XMLDocument doc;
    if (!ParseRequest(doc, datagram)) return false;
    const XMLElement* env = doc.RootElement();
    if (!env || LocalName(env->Name()) != "Envelope") return false;
    const XMLElement* probe = Child(Child(env, "Body"), "Probe");
    if (!probe) return false;
    if (const XMLElement* id = Child(Child(env, "Header"), "MessageID")) {
        if (id->GetText()) info.messageId = id->GetText();
    }
    const XMLElement* types = Child(probe, "Types");
    const char* text = types ? types->GetText() : nullptr;
    const std::string wanted = text ? text : "";
    const bool any = wanted.find_first_not_of(" \t\r\n") == std::string::npos;
    const bool device = wanted.find(":Device") != std::string::npos;
    const bool transmitter = wanted.find("NetworkVideoTransmitter") != std::string::npos;
    info.wanted = any || device || (transmitter && o.types != "device-only");
    return true;
}

std::string NewUuid(std::mt19937& rng) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "urn:uuid:%08x-%04x-4%03x-a%03x-%08x%04x", static_cast<unsigned>(rng()),
                  static_cast<unsigned>(rng() & 0xFFFF), static_cast<unsigned>(rng() & 0xFFF),
                  static_cast<unsigned>(rng() & 0xFFF), static_cast<unsigned>(rng()),
                  static_cast<unsigned>(rng() & 0xFFFF));
    return buf;
}

// What the reply names as the message it answers: the Probe's ID as sent, as sloppy firmware echoes it
// (letter case, no "urn:", whitespace around it), or another client's Probe.
std::string RelatesTo(const Options& o, const std::string& probeId, std::mt19937& rng) {
    if (o.relatesTo == "foreign") return NewUuid(rng);
    if (o.relatesTo == "sloppy") {
        std::string id = probeId.rfind("urn:", 0) == 0 ? probeId.substr(4) : probeId;
        for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return "\n  " + id + "  \n";
    }
    return probeId;
}

// The service addresses a device lists, in its order and with its separators: its own first, or a
// link-local one (IPv4 or IPv6) before it, as encoders do.
std::string XAddrs(const Options& o, int index) {
    const std::string path = DeviceServicePath(index);
    const std::string port = std::to_string(o.httpPort);
    const std::string own = (o.tls ? "https://" : "http://") +
                            (o.discoveryHost.empty() ? UrlHost(o.bind) + ":" + port : o.discoveryHost) + path;
    const std::string ula = "http://[fd00::" + std::to_string(index + 1) + "]:" + port + path;
    std::vector<std::string> entries{own, ula};
    // A device serving both lists its https address and its plain one, for the same host.
    if (o.tls && o.plainPort > 0)
        entries = {own, "http://" + UrlHost(o.bind) + ":" + std::to_string(o.plainPort) + path};
    if (o.xaddrsOrder == "linklocal-first") {
        entries = {"http://169.254." + std::to_string(index / 250 % 250 + 1) + "." +
                       std::to_string(index % 250 + 1) + ":" + port + path,
                   own};
    } else if (o.xaddrsOrder == "ipv6-first") {
        entries = {"http://[fe80::" + std::to_string(index + 1) + ":1]:" + port + path, own};
    }
    const std::string between = o.xaddrsSeparator == "newline" ? "\n      "
                                : o.xaddrsSeparator == "tab"   ? "\t"
                                                               : " ";
    std::string text = o.xaddrsSeparator == "newline" ? "\n      " : "";
    for (std::size_t i = 0; i < entries.size(); ++i) text += (i ? between : "") + entries[i];
    if (o.xaddrsSeparator == "newline") text += "\n    ";
    return text;
}

// A scope's value as devices write it: everything but unreserved characters as %XX.
std::string PercentEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

std::string Scopes(const Options& o, int index) {
    const std::string name = o.name.empty() ? "Fake Camera " + std::to_string(index) : o.name;
    std::string scopes =
        "onvif://www.onvif.org/Profile/Streaming onvif://www.onvif.org/type/video_encoder "
        "onvif://www.onvif.org/name/" +
        PercentEncoded(name) + " onvif://www.onvif.org/hardware/FC-" + std::to_string(100 + index % 7) +
        " onvif://www.onvif.org/location/lab";
    for (int i = 0; i < o.extraScopes; ++i)
        scopes += " onvif://www.onvif.org/extra/scope-" + std::to_string(i);
    return scopes;
}

// A Hello (when it joins) or a Bye (when it leaves), multicast to the group.
std::string Announcement(const Options& o, int index, bool hello, std::mt19937& rng, unsigned messageNumber) {
    const std::string action = hello ? "Hello" : "Bye";
    std::string body = "<d:" + action + "><wsa:EndpointReference><wsa:Address>" + DeviceUuid(o, index) +
                       "</wsa:Address></wsa:EndpointReference>";
    if (hello) {
        body += "<d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types><d:Scopes>" + Scopes(o, index) +
                "</d:Scopes><d:XAddrs>" + XAddrs(o, index) +
                "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>";
    }
    body += "</d:" + action + ">";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
           "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"><SOAP-ENV:Header><wsa:MessageID>" +
           NewUuid(rng) +
           "</wsa:MessageID><wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
           "<wsa:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/" +
           action + "</wsa:Action><d:AppSequence InstanceId=\"" + std::to_string(o.seed) +
           "\" MessageNumber=\"" + std::to_string(messageNumber) + "\"/></SOAP-ENV:Header><SOAP-ENV:Body>" +
           body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string ProbeMatches(const Options& o, int index, const std::string& relatesTo, std::mt19937& rng,
                         unsigned messageNumber) {
    const std::string scopes = Scopes(o, index);
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
        "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
        "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
        "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\">"
        "<SOAP-ENV:Header>\n"
        "<wsa:MessageID>" +
        NewUuid(rng) +
        "</wsa:MessageID>\n"
        "<wsa:RelatesTo>" +
        relatesTo + "</wsa:RelatesTo>\n" +
        // gSOAP-based firmware names the anonymous reply endpoint in the header, before the body's address.
        (o.replyToHeader
             ? "<wsa:ReplyTo><wsa:Address>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
               "</wsa:Address></wsa:ReplyTo>\n"
             : "") +
        "<wsa:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</wsa:To>"
        "<wsa:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</wsa:Action>"
        "<d:AppSequence InstanceId=\"" +
        std::to_string(o.seed) + "\" MessageNumber=\"" + std::to_string(messageNumber) +
        "\"/>"
        "</SOAP-ENV:Header><SOAP-ENV:Body><d:ProbeMatches><d:ProbeMatch>"
        "<wsa:EndpointReference><wsa:Address>" +
        DeviceUuid(o, index) + o.idSuffix +
        std::string(static_cast<std::size_t>(std::max(0, o.idPadding)), 'x') +
        "</wsa:Address></wsa:EndpointReference>"
        "<d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types>"
        "<d:Scopes>" +
        scopes +
        "</d:Scopes>"
        "<d:XAddrs>" +
        XAddrs(o, index) +
        "</d:XAddrs>"
        "<d:MetadataVersion>1</d:MetadataVersion>"
        "</d:ProbeMatch></d:ProbeMatches></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return xml;
}

}  // namespace

std::string DeviceUuid(const Options& o, int index) {
    // Some firmwares make a new id whenever they start: a value of this run's into every id.
    static const unsigned restart = std::random_device{}();
    std::mt19937 rng(o.seed * 7919u + static_cast<unsigned>(index) + (o.newIdOnRestart ? restart : 0u));
    char buf[64];
    std::snprintf(buf, sizeof buf, "urn:uuid:%08x-%04x-4%03x-b%03x-%012x", static_cast<unsigned>(rng()),
                  static_cast<unsigned>(rng() & 0xFFFF), static_cast<unsigned>(rng() & 0xFFF),
                  static_cast<unsigned>(rng() & 0xFFF), static_cast<unsigned>(index));
    return buf;
}

std::string DeviceServicePath(int index) { return "/cam" + std::to_string(index) + "/onvif/device_service"; }

namespace {

using PendingQueue = std::priority_queue<PendingReply, std::vector<PendingReply>, std::greater<PendingReply>>;

// The WS-Discovery socket: port 3702, joined to the group on our address (239.255.255.250, or ff02::c on
// our interface for an IPv6 device), told which address each datagram was sent to. -1 when it cannot be
// had.
int OpenDiscoverySocket(const Options& o) {
    const bool v6 = IsIpv6(o.bind);
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok = false;
    if (v6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_port = htons(3702);
        local.sin6_addr = in6addr_any;
        ipv6_mreq membership{};
        membership.ipv6mr_interface = InterfaceIndex(o.bind);
        ok = membership.ipv6mr_interface != 0 &&
             ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
             ::inet_pton(AF_INET6, "ff02::c", &membership.ipv6mr_multiaddr) == 1 &&
             ::setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &membership, sizeof membership) == 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &membership.ipv6mr_interface,
                     sizeof membership.ipv6mr_interface);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
    } else {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(3702);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        ip_mreq membership{};
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
             ::inet_pton(AF_INET, "239.255.255.250", &membership.imr_multiaddr) == 1 &&
             ::inet_pton(AF_INET, o.bind.c_str(), &membership.imr_interface) == 1 &&
             ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        in_addr own{};
        ::inet_pton(AF_INET, o.bind.c_str(), &own);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &own, sizeof own);
    }
    if (!ok) {
        std::perror("fakecam: discovery socket");
        ::close(fd);
        return -1;
    }
    const int sendBuffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    return fd;
}

// Sends the replies that are due; how long until the next one is (at most `longest`).
std::chrono::milliseconds SendDue(int fd, PendingQueue& pending, std::chrono::milliseconds longest) {
    const auto now = Clock::now();
    while (!pending.empty() && pending.top().due <= now) {
        const PendingReply& r = pending.top();
        ::sendto(fd, r.payload.data(), r.payload.size(), 0, reinterpret_cast<const sockaddr*>(&r.to),
                 r.toLength);
        pending.pop();
    }
    if (pending.empty()) return longest;
    return std::min(longest, std::chrono::duration_cast<std::chrono::milliseconds>(pending.top().due - now));
}

// One datagram, when it came within `wait` and was sent to our address or the group: every address of
// the test network is local, so the socket sees unicast Probes to all of them, and a device answers only
// those sent to its own.
bool ReceiveForUs(int fd, const sockaddr_storage& own, std::chrono::milliseconds wait,
                  std::vector<char>& buffer, std::string& datagram, sockaddr_storage& from,
                  socklen_t& fromLength) {
    timeval tv{0, static_cast<suseconds_t>(wait.count() * 1000)};
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(fd, &readSet);
    if (::select(fd + 1, &readSet, nullptr, nullptr, &tv) <= 0) return false;
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, 0);
    if (n <= 0) return false;
    fromLength = message.msg_namelen;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            const bool multicast = (ntohl(info.ipi_addr.s_addr) >> 28) == 0xE;
            const auto* mine = reinterpret_cast<const sockaddr_in*>(&own);
            if (!multicast && info.ipi_addr.s_addr != mine->sin_addr.s_addr) return false;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            const auto* mine = reinterpret_cast<const sockaddr_in6*>(&own);
            if (!IN6_IS_ADDR_MULTICAST(&info.ipi6_addr) &&
                std::memcmp(&info.ipi6_addr, &mine->sin6_addr, sizeof info.ipi6_addr) != 0)
                return false;
        }
    }
    datagram.assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

}  // namespace

bool RunDiscoveryResponder(const Options& o, const std::atomic<bool>& stop,
                           const std::function<void()>& onReady) {
    const int fd = OpenDiscoverySocket(o);
    if (fd < 0) return false;
    sockaddr_storage own{};
    socklen_t ownLength = 0;
    SocketAddress(o.bind, 3702, own, ownLength);
    sockaddr_storage group{};
    socklen_t groupLength = 0;
    SocketAddress(IsIpv6(o.bind) ? "ff02::c" : "239.255.255.250", 3702, group, groupLength);
    if (IsIpv6(o.bind)) reinterpret_cast<sockaddr_in6*>(&group)->sin6_scope_id = InterfaceIndex(o.bind);
    std::mt19937 rng(o.seed);
    unsigned messageNumber = 0;
    // Devices announce themselves when they join the network, and say goodbye when they leave in order.
    auto announce = [&](bool hello) {
        for (int i = 0; i < o.devices && o.hello; ++i) {
            const std::string a = Announcement(o, i, hello, rng, ++messageNumber);
            ::sendto(fd, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&group), groupLength);
        }
    };
    onReady();
    announce(true);
    const auto started = Clock::now();
    PendingQueue pending;
    std::vector<char> buffer(65536);
    std::string datagram;
    while (!stop.load()) {
        const auto wait = SendDue(fd, pending, std::chrono::milliseconds(100));
        sockaddr_storage from{};
        socklen_t fromLength = 0;
        ProbeInfo info;
        if (!ReceiveForUs(fd, own, wait, buffer, datagram, from, fromLength) ||
            !ReadProbe(o, datagram, info) || !info.wanted) {
            continue;
        }
        char fromText[INET6_ADDRSTRLEN] = {};
        uint16_t fromPort = 0;
        if (from.ss_family == AF_INET6) {
            const auto* f = reinterpret_cast<const sockaddr_in6*>(&from);
            ::inet_ntop(AF_INET6, &f->sin6_addr, fromText, sizeof fromText);
            fromPort = ntohs(f->sin6_port);
        } else {
            const auto* f = reinterpret_cast<const sockaddr_in*>(&from);
            ::inet_ntop(AF_INET, &f->sin_addr, fromText, sizeof fromText);
            fromPort = ntohs(f->sin_port);
        }
        const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        std::printf("probe from %s:%u %s at=%lld\n", fromText, fromPort, info.messageId.c_str(),
                    static_cast<long long>(at));
        std::fflush(stdout);
        std::uniform_int_distribution<int> delay(0, o.maxDelayMs > 0 ? o.maxDelayMs : 0);
        const auto arrived = Clock::now();
        for (int i = 0; i < o.devices; ++i) {
            const auto due = arrived + std::chrono::milliseconds(o.maxDelayMs > 0 ? delay(rng) : 0);
            const std::string reply =
                ProbeMatches(o, i, RelatesTo(o, info.messageId, rng), rng, ++messageNumber);
            pending.push({due, from, fromLength, reply});
            // Some devices send a copy of their answer to the group as well.
            if (o.probeMatchesCopyToGroup) pending.push({due, group, groupLength, reply});
        }
    }
    announce(false);
    ::close(fd);
    return true;
}

}  // namespace fakecam

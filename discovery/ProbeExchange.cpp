#include "ProbeExchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "Exchange.h"
#include "MessageId.h"

namespace quorvi {

namespace {

constexpr const char kProbeHead[] =
    "<Envelope xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
    "xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Header>"
    "<wsa:MessageID xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">";
constexpr const char kProbeTail[] =
    "</wsa:MessageID>"
    "<wsa:To xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
    "urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
    "<wsa:Action xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action>"
    "</Header><Body><Probe xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\">"
    "<Types>dn:NetworkVideoTransmitter</Types><Scopes/></Probe></Body></Envelope>";

// A dotted IPv4 address that can be an adapter's own. The broadcast address never is, though Linux
// would let a socket bind to it.
bool ParseDottedAddress(const char* text, in_addr& out) {
    return text != nullptr && ::inet_pton(AF_INET, text, &out) == 1 && out.s_addr != htonl(INADDR_BROADCAST);
}

}  // namespace

std::string BuildProbe(const std::string& messageId) {
    std::string probe;
    probe.reserve(sizeof kProbeHead + sizeof kProbeTail + messageId.size());
    probe.append(kProbeHead).append(messageId).append(kProbeTail);
    return probe;
}

std::string BuildDeviceProbe(const std::string& messageId) {
    std::string probe = BuildProbe(messageId);
    // The same envelope; the type asked for is the device service's.
    const std::string nvt = "<Types>dn:NetworkVideoTransmitter</Types>";
    probe.replace(probe.find(nvt), nvt.size(), "<Types>tds:Device</Types>");
    const std::string dn = "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"";
    probe.replace(probe.find(dn), dn.size(), "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"");
    return probe;
}

using Clock = std::chrono::steady_clock;

namespace {

// Both Probes to the group from the exchange's socket, then the replies until the window closes.
int Exchange(int fd, const sockaddr* group, socklen_t groupLength, ReplyList& replies,
             const std::atomic<bool>* running) {
    const auto deadline = Clock::now() + kProbeWindow;
    const std::string messageId = MakeMessageId();
    const std::string probe = BuildProbe(messageId);
    if (::sendto(fd, probe.data(), probe.size(), 0, group, groupLength) < 0) return -1;
    // Then the same for the device type; a device answering both is one row all the same.
    const std::string deviceId = MakeMessageId();
    const std::string deviceProbe = BuildDeviceProbe(deviceId);
    ::sendto(fd, deviceProbe.data(), deviceProbe.size(), 0, group, groupLength);
    ReplyCollector(fd, {messageId, deviceId}, replies).CollectUntil(deadline, running);
    return static_cast<int>(replies.size());
}

}  // namespace

int ProbeOnAddress(const char* localAddress, ReplyList& replies, const std::atomic<bool>* running) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);

    in_addr local{};
    if (!ParseDottedAddress(localAddress, local)) return -1;  // nothing to bind: no socket, no draw
    SocketGuard sock{OpenExchangeSocket(local, kProbeLocalPort)};
    if (sock.fd < 0) return -1;
    return Exchange(sock.fd, reinterpret_cast<const sockaddr*>(&group), sizeof group, replies, running);
}

int ProbeOnLink(const Ipv6Link& link, ReplyList& replies, const std::atomic<bool>* running) {
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(kProbeLocalPort);
    local.sin6_scope_id = link.index;
    if (link.index == 0 || ::inet_pton(AF_INET6, link.address.c_str(), &local.sin6_addr) != 1) return -1;
    sockaddr_in6 group{};
    group.sin6_family = AF_INET6;
    group.sin6_port = htons(kDiscoveryPort);
    group.sin6_scope_id = link.index;
    ::inet_pton(AF_INET6, kDiscoveryGroup6, &group.sin6_addr);
    SocketGuard sock{OpenExchangeSocket6(local)};
    if (sock.fd < 0) return -1;
    return Exchange(sock.fd, reinterpret_cast<const sockaddr*>(&group), sizeof group, replies, running);
}

}  // namespace quorvi

#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "DirectedProbe.h"

namespace quorvi {

// Where a device that answers no Probe was found: ONVIF on a TCP port, by one unauthenticated
// GetSystemDateAndTime to /onvif/device_service.
struct PortFinding {
    uint32_t address = 0;  // host byte order
    int port = 0;
    bool https = false;
    std::string Service() const;  // http[s]://A:P/onvif/device_service
};

// The ports ONVIF devices serve on when not on 80: "default" names them.
const std::vector<int>& DefaultOnvifPorts();  // 80, 8000, 8080, 8899, 2020, 5000
// Reads "--ports": "default", or ports from 1 to 65535 separated by commas; nothing (and `error`) else.
std::optional<std::vector<int>> ParsePorts(const std::string& text, std::string& error);

constexpr int kMaxPortLookupsAtOnce = 64;
constexpr std::chrono::milliseconds kPortConnectTime{1000};
constexpr std::chrono::milliseconds kPortAnswerTime{2000};  // the most a host that accepts and stalls costs

// Asks every port of every target, https on 443 and 8443 and http elsewhere, at most `rate` new connections
// a second and kMaxPortLookupsAtOnce at a time, each within kPortAnswerTime (connect within
// kPortConnectTime): one POST of GetSystemDateAndTime without credentials, nothing else. An answer whose
// body is an ONVIF GetSystemDateAndTimeResponse (or a SOAP fault refusing it for want of credentials, as some
// devices answer even that) is a finding; an HTML page, a redirect, anything else is not. Ends early, within
// 100 ms, once `running` (when given) turns false.
std::vector<PortFinding> LookForOnvifOnPorts(const TargetList& targets, const std::vector<int>& ports,
                                             int rate, const std::atomic<bool>* running = nullptr);

// What "Add device..." is given: a host (an IPv4 address or a name) and the ports it is looked for on.
struct DeviceAddress {
    std::string host;
    std::vector<int> ports;
};
// "H" (the default ports), "H:P", or a service address "http://H[:P]/..." (P, else 80) or "https://H[:P]/..."
// (443 or 8443, where https is looked for). Nothing, and `error`, for anything else.
std::optional<DeviceAddress> ParseDeviceAddress(const std::string& text, std::string& error);
// The IPv4 address of `host` (a literal, or a name the resolver knows), refused as a probe target is
// (loopback, multicast, ...). Blocks while the name is resolved.
std::optional<uint32_t> ResolveDeviceHost(const std::string& host, std::string& error);
// "no answer to a Probe on 3702, nor ONVIF on ports 80, 8000": why a device added by hand was not found.
std::string NothingAnsweredText(const std::vector<int>& ports);

// Whether a reply body says that an ONVIF device service answered (the test above, on its own).
bool LooksLikeOnvifTimeAnswer(const std::string& body);

}  // namespace quorvi

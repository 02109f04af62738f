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

// Whether a reply body says that an ONVIF device service answered (the test above, on its own).
bool LooksLikeOnvifTimeAnswer(const std::string& body);

}  // namespace quorvi

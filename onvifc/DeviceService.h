#pragma once

// The device service: each operation's request next to the reading of its reply.
#include <ctime>
#include <optional>
#include <string>

namespace onvifc {

// GetSystemDateAndTime: the device's clock, which WS-Security tokens must follow.
std::string GetSystemDateAndTimeRequest();
std::optional<std::time_t> ParseSystemDateAndTime(const std::string& body);

// Where a device's other services are.
struct Services {
    std::string media1;
    std::string media2;
    std::string ptz;
};

// GetServices (without capabilities), and GetCapabilities, which older devices know instead.
std::string GetServicesRequest();
std::optional<Services> ParseServices(const std::string& body);
std::string GetCapabilitiesRequest();
std::optional<Services> ParseCapabilities(const std::string& body);

}  // namespace onvifc

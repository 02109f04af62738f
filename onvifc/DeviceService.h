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

// Who the device is, for a site's inventory: GetDeviceInformation.
struct DeviceInformation {
    std::string manufacturer;
    std::string model;
    std::string firmware;
    std::string serial;
    std::string hardwareId;
};
std::string GetDeviceInformationRequest();
std::optional<DeviceInformation> ParseDeviceInformation(const std::string& body);

// GetNetworkInterfaces: the MAC address of the interface that holds `deviceHost` (an IPv4 or IPv6 address
// as the caller reached it), else of the first enabled one; nothing when the reply names none.
std::string GetNetworkInterfacesRequest();
std::optional<std::string> ParseMacAddress(const std::string& body, const std::string& deviceHost);

// GetNTP: where the device takes its time from: "DHCP" (and the servers DHCP gave, if it says), or the
// servers set, comma-separated; nothing when the reply is not GetNTPResponse.
std::string GetNtpRequest();
std::optional<std::string> ParseNtp(const std::string& body);

}  // namespace onvifc

#include "DeviceService.h"

#include "Soap.h"
#include "SoapXml.h"

namespace onvifc {

using namespace xml;

std::string GetSystemDateAndTimeRequest() {
    return "<tds:GetSystemDateAndTime xmlns:tds=\"" + std::string(ns::kDevice) + "\"/>";
}

std::optional<std::time_t> ParseSystemDateAndTime(const std::string& body) {
    const Reply reply(body);
    const XMLElement* sdt = Child(reply.Payload("GetSystemDateAndTimeResponse"), "SystemDateAndTime");
    const XMLElement* when = Child(sdt, "UTCDateTime");
    if (!when) when = Child(sdt, "LocalDateTime");
    const XMLElement* time = Child(when, "Time");
    const XMLElement* date = Child(when, "Date");
    std::tm parts{};
    if (!ToInt(Text(Child(time, "Hour")), 0, 23, parts.tm_hour) ||
        !ToInt(Text(Child(time, "Minute")), 0, 59, parts.tm_min) ||
        !ToInt(Text(Child(time, "Second")), 0, 60, parts.tm_sec) ||
        !ToInt(Text(Child(date, "Year")), 1970, 9999, parts.tm_year) ||
        !ToInt(Text(Child(date, "Month")), 1, 12, parts.tm_mon) ||
        !ToInt(Text(Child(date, "Day")), 1, 31, parts.tm_mday)) {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const std::time_t t = ::timegm(&parts);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return t;
}

namespace {

std::string DeviceRequest(const char* operation) {
    return std::string("<tds:") + operation + " xmlns:tds=\"" + ns::kDevice + "\"/>";
}

// Texts from the network are cut to a line's length and kept free of control characters.
std::string Field(const XMLElement* e) {
    std::string text = Text(e);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return text.substr(0, 128);
}

}  // namespace

std::string GetDeviceInformationRequest() { return DeviceRequest("GetDeviceInformation"); }

std::optional<DeviceInformation> ParseDeviceInformation(const std::string& body) {
    const Reply reply(body);
    const XMLElement* r = reply.Payload("GetDeviceInformationResponse");
    if (!r) return std::nullopt;
    return DeviceInformation{Field(Child(r, "Manufacturer")), Field(Child(r, "Model")),
                             Field(Child(r, "FirmwareVersion")), Field(Child(r, "SerialNumber")),
                             Field(Child(r, "HardwareId"))};
}

std::string GetNetworkInterfacesRequest() { return DeviceRequest("GetNetworkInterfaces"); }

std::optional<std::string> ParseMacAddress(const std::string& body, const std::string& deviceHost) {
    const Reply reply(body);
    const XMLElement* r = reply.Payload("GetNetworkInterfacesResponse");
    if (!r) return std::nullopt;
    std::string host = deviceHost;
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    std::string firstEnabled;
    int interfaces = 0;
    for (const XMLElement* i = r->FirstChildElement(); i && interfaces < 64; i = i->NextSiblingElement()) {
        if (!HasLocalName(i, "NetworkInterfaces")) continue;
        ++interfaces;
        const std::string mac = Field(Child(Child(i, "Info"), "HwAddress"));
        if (mac.empty()) continue;
        // Its addresses, however it got them: set by hand, from DHCP, link-local.
        for (const char* family : {"IPv4", "IPv6"}) {
            const XMLElement* config = Child(Child(i, family), "Config");
            for (const XMLElement* c = config ? config->FirstChildElement() : nullptr; c;
                 c = c->NextSiblingElement()) {
                if (Field(Child(c, "Address")) == host && !host.empty()) return mac;
            }
        }
        if (firstEnabled.empty() && Text(Child(i, "Enabled")) != "false") firstEnabled = mac;
    }
    return firstEnabled;
}

std::string GetNtpRequest() { return DeviceRequest("GetNTP"); }

std::optional<std::string> ParseNtp(const std::string& body) {
    const Reply reply(body);
    const XMLElement* info = Child(reply.Payload("GetNTPResponse"), "NTPInformation");
    if (!info) return std::nullopt;
    const bool fromDhcp = Text(Child(info, "FromDHCP")) == "true";
    std::string servers;
    int count = 0;
    for (const XMLElement* e = info->FirstChildElement(); e && count < 8; e = e->NextSiblingElement()) {
        if (!HasLocalName(e, fromDhcp ? "NTPFromDHCP" : "NTPManual")) continue;
        std::string server = Field(Child(e, "IPv4Address"));
        if (server.empty()) server = Field(Child(e, "IPv6Address"));
        if (server.empty()) server = Field(Child(e, "DNSname"));
        if (server.empty()) continue;
        servers += (servers.empty() ? "" : ", ") + server;
        ++count;
    }
    if (fromDhcp) return servers.empty() ? std::string("DHCP") : "DHCP: " + servers;
    return servers;
}

std::string GetServicesRequest() {
    return "<tds:GetServices xmlns:tds=\"" + std::string(ns::kDevice) +
           "\"><tds:IncludeCapability>false</tds:IncludeCapability></tds:GetServices>";
}

std::optional<Services> ParseServices(const std::string& body) {
    const Reply reply(body);
    const XMLElement* response = reply.Payload("GetServicesResponse");
    if (!response) return std::nullopt;
    Services services;
    for (const XMLElement* s = response->FirstChildElement(); s; s = s->NextSiblingElement()) {
        if (!HasLocalName(s, "Service")) continue;
        const std::string space = Text(Child(s, "Namespace"));
        const std::string xaddr = Text(Child(s, "XAddr"));
        if (space == ns::kMedia1 && services.media1.empty())
            services.media1 = xaddr;
        else if (space == ns::kMedia2 && services.media2.empty())
            services.media2 = xaddr;
        else if (space == ns::kPtz && services.ptz.empty())
            services.ptz = xaddr;
    }
    return services;
}

std::string GetCapabilitiesRequest() {
    return "<tds:GetCapabilities xmlns:tds=\"" + std::string(ns::kDevice) +
           "\"><tds:Category>All</tds:Category></tds:GetCapabilities>";
}

std::optional<Services> ParseCapabilities(const std::string& body) {
    const Reply reply(body);
    const XMLElement* caps = Child(reply.Payload("GetCapabilitiesResponse"), "Capabilities");
    if (!caps) return std::nullopt;
    Services services;
    services.media1 = Text(Child(Child(caps, "Media"), "XAddr"));
    services.ptz = Text(Child(Child(caps, "PTZ"), "XAddr"));
    return services;
}

}  // namespace onvifc

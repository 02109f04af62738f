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

#include "Soap.h"

#include <tinyxml2.h>

#include <charconv>
#include <cstring>

namespace onvifc {

namespace {

using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

constexpr const char* kWsse =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr const char* kWsu =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr const char* kDigestType =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
constexpr const char* kBase64Type =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary";

// Element names are compared on the part after the last ':', since devices use all sorts of prefixes.
bool HasLocalName(const XMLElement* e, const char* local) {
    if (!e || !e->Name()) return false;
    const char* name = e->Name();
    const char* colon = std::strrchr(name, ':');
    return std::strcmp(colon ? colon + 1 : name, local) == 0;
}

const XMLElement* Child(const XMLNode* parent, const char* local) {
    if (!parent) return nullptr;
    for (const XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (HasLocalName(e, local)) return e;
    }
    return nullptr;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Text(const XMLElement* e) {
    const char* t = e ? e->GetText() : nullptr;
    return t ? Trim(t) : std::string();
}

// Parses a reply and finds the first element inside its SOAP Body. The parser reads exactly the bytes
// given and refuses a document nested deeper than TINYXML2_MAX_ELEMENT_DEPTH.
class Reply {
public:
    explicit Reply(const std::string& body) {
        if (m_doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS) return;
        m_wellFormed = true;
        const XMLElement* envelope = m_doc.RootElement();
        if (!HasLocalName(envelope, "Envelope")) return;
        const XMLElement* soapBody = Child(envelope, "Body");
        if (!soapBody) return;
        m_isSoap = true;
        m_payload = soapBody->FirstChildElement();
    }
    bool IsSoap() const { return m_isSoap; }
    bool WellFormed() const { return m_wellFormed; }
    // The response element when it has the expected name.
    const XMLElement* Payload(const char* local) const {
        return HasLocalName(m_payload, local) ? m_payload : nullptr;
    }

private:
    tinyxml2::XMLDocument m_doc;
    bool m_isSoap = false;
    bool m_wellFormed = false;
    const XMLElement* m_payload = nullptr;
};

// Plain decimal digits only: no sign, no spaces, nothing after them.
bool ToInt(const std::string& text, int low, int high, int& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || value < low || value > high) return false;
    out = value;
    return true;
}

std::string LocalPart(const std::string& qname) {
    const auto colon = qname.rfind(':');
    return colon == std::string::npos ? qname : qname.substr(colon + 1);
}

}  // namespace

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // Control characters have no place in XML 1.0 text; none belongs in an address or a name.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        }
    }
    return out;
}

std::string Envelope(const std::string& body, const std::optional<UsernameToken>& token) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">";
    if (token) {
        xml += std::string("<s:Header><wsse:Security s:mustUnderstand=\"1\" xmlns:wsse=\"") + kWsse +
               "\" xmlns:wsu=\"" + kWsu + "\"><wsse:UsernameToken><wsse:Username>" + XmlEscape(token->user) +
               "</wsse:Username><wsse:Password Type=\"" + kDigestType + "\">" + token->passwordDigest +
               "</wsse:Password><wsse:Nonce EncodingType=\"" + kBase64Type + "\">" + token->nonceBase64 +
               "</wsse:Nonce><wsu:Created>" + token->created +
               "</wsu:Created></wsse:UsernameToken></wsse:Security></s:Header>";
    }
    xml += "<s:Body>" + body + "</s:Body></s:Envelope>";
    return xml;
}

std::string FormatUtc(std::time_t t) {
    std::tm parts{};
    if (!::gmtime_r(&t, &parts)) return "1970-01-01T00:00:00Z";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

SoapReply ClassifyReply(const std::string& body) {
    SoapReply result;
    const Reply reply(body);
    result.wellFormed = reply.WellFormed();
    result.isSoap = reply.IsSoap();
    const XMLElement* fault = reply.Payload("Fault");
    if (!fault) return result;
    result.isFault = true;
    // Subcodes nest: Code/Subcode/Value, Subcode/Subcode/Value ...; any of them may name the refusal.
    const XMLElement* level = Child(fault, "Code");
    for (int depth = 0; level && depth < 8; ++depth) {
        const std::string value = LocalPart(Text(Child(level, "Value")));
        if (value == "NotAuthorized" || value == "FailedAuthentication" || value == "InvalidSecurityToken" ||
            value == "FailedCheck") {
            result.notAuthorized = true;
        }
        level = Child(level, "Subcode");
    }
    result.faultText = Text(Child(Child(fault, "Reason"), "Text"));
    return result;
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

std::optional<Services> ParseCapabilities(const std::string& body) {
    const Reply reply(body);
    const XMLElement* caps = Child(reply.Payload("GetCapabilitiesResponse"), "Capabilities");
    if (!caps) return std::nullopt;
    Services services;
    services.media1 = Text(Child(Child(caps, "Media"), "XAddr"));
    services.ptz = Text(Child(Child(caps, "PTZ"), "XAddr"));
    return services;
}

std::optional<std::vector<Profile>> ParseProfiles(const std::string& body) {
    const Reply reply(body);
    const XMLElement* response = reply.Payload("GetProfilesResponse");
    if (!response) return std::nullopt;
    std::vector<Profile> profiles;
    for (const XMLElement* p = response->FirstChildElement(); p; p = p->NextSiblingElement()) {
        if (!HasLocalName(p, "Profiles")) continue;
        const char* token = p->Attribute("token");
        if (!token || Trim(token).empty()) continue;  // nothing to ask for its stream by
        Profile profile;
        profile.token = Trim(token);
        profile.name = Text(Child(p, "Name"));
        // Media 1 names its configurations on the profile, Media 2 inside Configurations.
        const XMLElement* media2 = Child(p, "Configurations");
        const XMLElement* encoder =
            media2 ? Child(media2, "VideoEncoder") : Child(p, "VideoEncoderConfiguration");
        const XMLElement* source =
            media2 ? Child(media2, "VideoSource") : Child(p, "VideoSourceConfiguration");
        for (const XMLElement* c = p->FirstChildElement(); c && !profile.configurations;
             c = c->NextSiblingElement()) {
            const char* colon = std::strrchr(c->Name(), ':');
            const std::string local = colon ? colon + 1 : c->Name();
            profile.configurations =
                local == "Configurations" ||
                (local.size() > 13 && local.compare(local.size() - 13, 13, "Configuration") == 0);
        }
        profile.video = encoder != nullptr;
        profile.videoSource = Text(Child(source, "SourceToken"));
        profile.encoding = Text(Child(encoder, "Encoding"));
        const XMLElement* resolution = Child(encoder, "Resolution");
        ToInt(Text(Child(resolution, "Width")), 1, 65535, profile.width);
        ToInt(Text(Child(resolution, "Height")), 1, 65535, profile.height);
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

std::optional<std::string> ParseStreamUri(const std::string& body) {
    const Reply reply(body);
    const XMLElement* response = reply.Payload("GetStreamUriResponse");
    if (!response) return std::nullopt;
    const XMLElement* uri = Child(Child(response, "MediaUri"), "Uri");  // media 1
    if (!uri) uri = Child(response, "Uri");                             // media 2
    if (!uri) return std::nullopt;
    return Text(uri);
}

}  // namespace onvifc

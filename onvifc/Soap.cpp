#include "Soap.h"

#include <charconv>
#include <cstring>

#include "SoapXml.h"

namespace onvifc {

namespace xml {

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

Reply::Reply(const std::string& body) {
    if (m_doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS) return;
    m_wellFormed = true;
    const XMLElement* envelope = m_doc.RootElement();
    if (!HasLocalName(envelope, "Envelope")) return;
    const XMLElement* soapBody = Child(envelope, "Body");
    if (!soapBody) return;
    m_isSoap = true;
    m_payload = soapBody->FirstChildElement();
}

const XMLElement* Reply::Payload(const char* local) const {
    return HasLocalName(m_payload, local) ? m_payload : nullptr;
}

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

}  // namespace xml

namespace {

constexpr const char* kWsse =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr const char* kWsu =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr const char* kDigestType =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
constexpr const char* kBase64Type =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary";

}  // namespace

using namespace xml;

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
        if (value == "ActionNotSupported" || value == "ActionNotImplemented") result.notSupported = true;
        level = Child(level, "Subcode");
    }
    result.faultText = Text(Child(Child(fault, "Reason"), "Text"));
    return result;
}

}  // namespace onvifc

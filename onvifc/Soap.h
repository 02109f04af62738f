#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace onvifc {

namespace ns {
constexpr const char* kDevice = "http://www.onvif.org/ver10/device/wsdl";
constexpr const char* kMedia1 = "http://www.onvif.org/ver10/media/wsdl";
constexpr const char* kMedia2 = "http://www.onvif.org/ver20/media/wsdl";
constexpr const char* kPtz = "http://www.onvif.org/ver20/ptz/wsdl";
constexpr const char* kSchema = "http://www.onvif.org/ver10/schema";
}  // namespace ns

// A WS-UsernameToken for one request.
struct UsernameToken {
    std::string user;
    std::string passwordDigest;
    std::string nonceBase64;
    std::string created;
};

std::string XmlEscape(const std::string& text);

// A SOAP 1.2 envelope around `body` (which declares its own namespaces), with the token when given.
std::string Envelope(const std::string& body, const std::optional<UsernameToken>& token);

// "2024-02-04T07:44:17Z" for a UTC time.
std::string FormatUtc(std::time_t t);

// What a reply body turned out to be.
struct SoapReply {
    bool wellFormed = false;  // well-formed XML, SOAP or not
    bool isSoap = false;      // a well-formed SOAP envelope with a Body
    bool isFault = false;
    bool notAuthorized = false;  // a fault saying the credentials were refused
    bool notSupported = false;   // a fault saying the device does not offer the operation
    std::string faultText;
};

// Tells whether a reply body is SOAP at all, and whether it is a fault.
SoapReply ClassifyReply(const std::string& body);

}  // namespace onvifc

// The SOAP side of the simulated devices, written from the ONVIF and HTTP standards on its own, so
// that it checks the client library rather than mirroring it.
#include "Soap.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>

#include "Digest.h"
#include "Net.h"
#include "Profiles.h"
#include "Xml.h"

namespace fakecam {

namespace {

constexpr const char* kEnvelopeOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" "
    "xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\" "
    "xmlns:tr2=\"http://www.onvif.org/ver20/media/wsdl\" xmlns:tt=\"http://www.onvif.org/ver10/schema\" "
    "xmlns:ter=\"http://www.onvif.org/ver10/error\" "
    "xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd\">\n"
    "<env:Body>";
constexpr const char* kEnvelopeClose = "</env:Body>\n</env:Envelope>\n";

std::string Wrap(const std::string& body) { return kEnvelopeOpen + body + kEnvelopeClose; }

std::string Fault(const std::string& code, const std::string& subcode, const std::string& reason) {
    return Wrap("<env:Fault><env:Code><env:Value>env:" + code + "</env:Value><env:Subcode><env:Value>" +
                subcode + "</env:Value></env:Subcode></env:Code><env:Reason><env:Text xml:lang=\"en\">" +
                reason + "</env:Text></env:Reason></env:Fault>");
}

std::string FromBase64(const std::string& text) {
    std::string out(text.size(), '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    out.resize(static_cast<size_t>(n));
    size_t pad = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++pad;
    out.resize(out.size() - std::min(pad, out.size()));
    return out;
}

// Text for an element: & < > escaped.
std::string XmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '&'   ? std::string("&amp;")
               : c == '<' ? std::string("&lt;")
               : c == '>' ? std::string("&gt;")
                          : std::string(1, c);
    }
    return out;
}

std::string ToBase64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// "2024-02-04T07:44:17Z" or with ".123" before the Z; -1 when it is not such a time.
std::time_t ParseCreated(const std::string& text) {
    std::tm t{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &consumed) != 6) {
        return -1;
    }
    std::string rest = text.substr(static_cast<size_t>(consumed));
    if (!rest.empty() && rest[0] == '.') rest.erase(0, rest.find_first_not_of("0123456789", 1));
    if (rest != "Z") return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return ::timegm(&t);
}

}  // namespace

namespace {

DigestPolicy PolicyOf(const Options& o) {
    DigestPolicy p;
    p.algorithm = o.digestAlgorithm;
    p.ncCheck = o.digestNcCheck;
    p.lifetimeUses = o.nonceLifetimeUses;
    p.lifetimeSeconds = o.nonceLifetimeSeconds;
    return p;
}

}  // namespace

SoapServer::SoapServer(const Options& o) : m_options(o), m_digest(PolicyOf(o)), m_snapshots(o) {
    auto handler = [this](const HttpRequest& req, HttpResponse& res) { Handle(req, res); };
    auto logger = [this](const std::string& line) { Log(line); };
    m_server = std::make_unique<HttpServer>(handler, logger);
    if (o.plainPort > 0) m_plainServer = std::make_unique<HttpServer>(handler, logger);
}

SoapServer::~SoapServer() {
    Stop();
    if (m_log) std::fclose(m_log);
}

bool SoapServer::Start() {
    if (!m_options.logFile.empty()) {
        m_log = std::fopen(m_options.logFile.c_str(), "a");
        if (!m_log) return false;
    }
    if (m_plainServer &&
        !m_plainServer->Start(m_options.bind, m_options.plainPort, m_options.maxConnections, false))
        return false;
    return m_server->Start(m_options.bind, m_options.httpPort, m_options.maxConnections, m_options.tls,
                           m_options.certificateOut, m_options.tlsName);
}

void SoapServer::Stop() {
    m_stopping = true;
    m_server->Stop();
    if (m_plainServer) m_plainServer->Stop();
}

void SoapServer::Log(const std::string& line) {
    if (!m_log) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(m_log, "%s\n", line.c_str());
    std::fflush(m_log);
}

namespace {

void SoapFault(HttpResponse& res, int status, const std::string& code, const std::string& subcode,
               const std::string& reason) {
    res.status = status;
    res.contentType = "application/soap+xml";
    res.body = Fault(code, subcode, reason);
}

}  // namespace

void SoapServer::Challenge(HttpResponse& res, bool stale) {
    res.headers["WWW-Authenticate"] = m_digest.Challenge(stale);
    if (m_options.digestOn400) {
        // gSOAP cameras: the challenge rides on a 400 with a SOAP fault.
        SoapFault(res, 400, "Sender", "ter:NotAuthorized", "Sender not Authorized");
        return;
    }
    res.status = 401;
    res.contentType = "text/html";
    res.body = "<html><body>401 Unauthorized</body></html>";
}

std::string SoapServer::ServiceUrl(int device, const std::string& service) const {
    const bool elsewhere = !m_options.xaddrHost.empty() && service != "device_service";
    // A camera serving both ports often advertises only its plain one, whichever it was asked on.
    const bool plain = !m_options.tls || m_options.plainPort > 0;
    const int port = m_options.plainPort > 0 ? m_options.plainPort : m_options.httpPort;
    const std::string host =
        elsewhere ? m_options.xaddrHost : UrlHost(m_options.bind) + ":" + std::to_string(port);
    return (plain ? "http://" : "https://") + host + "/cam" + std::to_string(device) + "/onvif/" + service;
}

namespace {

// What kind of challenge an answer carries, for the log.
std::string ChallengeNote(const HttpResponse& res) {
    const auto it = res.headers.find("WWW-Authenticate");
    if (it == res.headers.end()) return {};
    return it->second.find("stale=true") != std::string::npos ? " challenge=stale" : " challenge=fresh";
}

}  // namespace

void SoapServer::Handle(const HttpRequest& req, HttpResponse& res) {
    std::string operation = "-";
    bool token = false;
    Respond(req, res, operation, token);
    const std::string authorization = req.Header("authorization");
    Log("request conn=" + std::to_string(req.connection) + " port=" + std::to_string(req.port) +
        " host=" + req.Header("host") + " path=" + req.target + " op=" + operation + " authorization=" +
        (authorization.empty() ? "none" : authorization.substr(0, authorization.find(' '))) +
        " wsse=" + (token ? "yes" : "no") + " body=" + std::to_string(req.body.size()) +
        " status=" + (res.drop ? "dropped" : std::to_string(res.status)) + ChallengeNote(res));
}

void SoapServer::Respond(const HttpRequest& req, HttpResponse& res, std::string& operation, bool& token) {
    const Options& o = m_options;
    // A camera's own path is /onvif/...; the simulated devices have theirs under /camN, device 0 both.
    static const std::regex route(R"((?:/cam(\d{1,6}))?/onvif/(\w+))");
    std::smatch match;
    if (req.method == "GET") {
        Wait(o.delayMs);
        if (m_snapshots.Handle(req, res)) {
            operation = "snapshot";
            return;
        }
    }
    // Under /onvif/ alone, only the services a camera has: any other path there is not served.
    const bool served = req.method == "POST" && std::regex_match(req.target, match, route) &&
                        (match[1].matched || match[2] == "device_service" || match[2] == "media_service" ||
                         match[2] == "media2_service" || match[2] == "ptz_service");
    if (!served) {
        // Some firmwares answer a path they do not serve as a fault, with a challenge on top.
        if (o.wrongPathFault) {
            res.headers["WWW-Authenticate"] = m_digest.Challenge();
            return SoapFault(res, 400, "Sender", "ter:ActionNotSupported",
                             "The requested service " + req.target + " is not supported");
        }
        res.status = 404;
        return;
    }
    if (!Behave(req, res)) return;
    const int device = match[1].matched ? std::stoi(match[1]) : 0;
    const std::string service = match[2];
    const bool overTls = o.tls && req.port == o.httpPort;
    if (device >= o.devices || (overTls && o.mediaPlainOnly && service != "device_service")) {
        res.status = 404;
        return;
    }
    if (CannedFault(res)) return;

    XMLDocument doc;
    const bool wellFormed = ParseRequest(doc, req.body);
    const XMLElement* envelope = doc.RootElement();
    const XMLElement* payload = envelope ? Child(envelope, "Body") : nullptr;
    payload = payload ? payload->FirstChildElement() : nullptr;
    if (!wellFormed || !payload || LocalName(envelope->Name()) != "Envelope") {
        return SoapFault(res, 400, "Sender", "ter:WellFormed", "not a SOAP envelope");
    }
    operation = LocalName(payload->Name());
    const XMLElement* usernameToken = Child(Child(Child(envelope, "Header"), "Security"), "UsernameToken");
    token = usernameToken != nullptr;
    const bool open = operation == "GetSystemDateAndTime" ||
                      (o.openServices && (operation == "GetServices" || operation == "GetCapabilities"));
    const bool digest = o.auth == "digest" || o.auth == "both";
    const bool wsse = o.auth == "wsse" || o.auth == "both";
    if (!open && digest) {
        const auto verdict =
            m_digest.Check(req.Header("authorization"), req.method, req.target, o.user, o.password);
        if (verdict != DigestServer::Verdict::Valid)
            return Challenge(res, verdict == DigestServer::Verdict::Stale);
    }
    if (!open && wsse && !TokenValid(usernameToken)) {
        // Stacks built on a WS-Security library answer with its own fault, as WS-Security 1.0 names it.
        if (o.wsseFault == "failed-authentication")
            return SoapFault(res, 500, "Sender", "wsse:FailedAuthentication",
                             "The security token could not be authenticated or authorized");
        return SoapFault(res, 400, "Sender", "ter:NotAuthorized", "Sender not Authorized");
    }
    AnswerOperation(device, service, operation, payload, res);
}

// The device's manners before it looks at a request: its delay, hanging, refusing everything, and what
// it does with a POST without a body. False when the request is answered (or dropped) here.
bool SoapServer::Behave(const HttpRequest& req, HttpResponse& res) {
    const Options& o = m_options;
    Wait(o.delayMs);
    if (o.fault == "hang") {
        for (int i = 0; i < 600 && !m_stopping; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        res.drop = true;
        return false;
    }
    const bool digest = o.auth == "digest" || o.auth == "both";
    if (o.fault == "always-401") {
        Challenge(res);
        return false;
    }
    if (!req.body.empty()) return true;
    // Embedded servers check credentials only after they have parsed a body; without one, few of them
    // get as far as a challenge.
    if (digest && o.digestEmptyPost == "answer401") {
        Challenge(res);
    } else if (digest && o.digestEmptyPost == "drop") {
        res.drop = true;
    } else {
        SoapFault(res, 400, "Sender", "ter:WellFormed", "empty request");
    }
    return false;
}

void SoapServer::Wait(int ms) const {
    for (int waited = 0; waited < ms && !m_stopping; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Answers that do not depend on the request: too large, or not XML at all.
bool SoapServer::CannedFault(HttpResponse& res) {
    if (m_options.fault == "huge") {
        res.contentType = "application/soap+xml";
        res.body = Wrap(std::string(2 << 20, ' '));
        return true;
    }
    if (m_options.fault == "malformed") {
        res.contentType = "application/soap+xml";
        res.body = "<env:Envelope><env:Body><tds:GetSystemDateAndTimeResponse><oops";
        return true;
    }
    return false;
}

// A WS-UsernameToken with our user, a password digest of its nonce, creation time and our password, and a
// creation time within 5 s of our clock.
bool SoapServer::TokenValid(const XMLElement* usernameToken) const {
    const Options& o = m_options;
    const XMLElement* password = Child(usernameToken, "Password");
    const char* type = password ? password->Attribute("Type") : nullptr;
    const std::string nonce = FromBase64(TextOf(Child(usernameToken, "Nonce")));
    const std::string created = TextOf(Child(usernameToken, "Created"));
    const std::time_t when = ParseCreated(created);
    const std::time_t ourClock = std::time(nullptr) + o.clockSkew;
    if (!usernameToken || TextOf(Child(usernameToken, "Username")) != o.user || !type ||
        std::string(type).find("#PasswordDigest") == std::string::npos || when == -1 ||
        std::labs(static_cast<long>(when - ourClock)) > 5) {
        return false;
    }
    unsigned char sha[SHA_DIGEST_LENGTH];
    const std::string input = nonce + created + o.password;
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), sha);
    return TextOf(password) == ToBase64(std::string(reinterpret_cast<char*>(sha), sizeof sha));
}

void SoapServer::AnswerOperation(int device, const std::string& service, const std::string& operation,
                                 const XMLElement* payload, HttpResponse& res) {
    const Options& o = m_options;
    if (operation == "GetServices" && o.fault == "services-fault") {
        return SoapFault(res, 500, "Receiver", "ter:ActionNotSupported", "GetServices is not supported");
    }
    if (("," + o.unsupported + ",").find("," + operation + ",") != std::string::npos) {
        return SoapFault(res, 500, "Receiver", "ter:ActionNotSupported", operation + " is not supported");
    }
    // Firmware that advertises Media 2 and breaks on it (a few ship such a Media 2).
    if (service == "media2_service" && o.brokenMedia2) {
        return SoapFault(res, 500, "Receiver", "ter:Action", "Internal error in the media2 service");
    }
    // Profiles are asked for by token, on the service the device offers.
    std::string answer;
    if (operation == "GetStreamUri") {
        const std::string profile = TextOf(Child(payload, "ProfileToken"));
        const std::vector<ProfileSpec> profiles = DeviceProfiles(o);
        const ProfileSpec* spec = FindProfile(profiles, profile);
        if (!spec) {
            return SoapFault(res, 500, "Sender", "ter:InvalidArgVal", "No such profile: " + profile);
        }
        // Firmwares differ on a profile without video: a fault on some, an (audio) address on others.
        if (!spec->video && !(o.audioFirst && spec == &profiles.front())) {
            return SoapFault(
                res, 500, "Receiver", "ter:IncompleteConfiguration",
                "The requested profile token " + profile + " has no video encoder configuration");
        }
        answer = Answer(device, "GetStreamUri:" + profile, service);
    } else if (operation == "GetSnapshotUri" && service != "device_service") {
        if (o.noSnapshot) {
            return SoapFault(res, 500, "Receiver", "ter:ActionNotSupported",
                             "GetSnapshotUri is not supported");
        }
        const std::string profile = TextOf(Child(payload, "ProfileToken"));
        const std::vector<ProfileSpec> profiles = DeviceProfiles(o);
        const ProfileSpec* spec = FindProfile(profiles, profile);
        if (!spec || !spec->video) {
            return SoapFault(res, 500, "Sender", "ter:InvalidArgVal", "No video profile " + profile);
        }
        answer = Answer(device, "GetSnapshotUri:" + profile, service);
    } else {
        answer = Answer(device, operation, service);
    }
    if (answer.empty()) {
        return SoapFault(res, 500, "Receiver", "ter:ActionNotSupported", "unknown action " + operation);
    }
    // "padded": a valid answer that is simply larger than a client should take (1.5 MiB).
    if (o.fault == "padded") answer += std::string(3u << 19, ' ');
    res.contentType = "application/soap+xml; charset=utf-8";
    res.body = Wrap(answer);
    res.cutShort = o.fault == "cut-short";
}

std::string SoapServer::Answer(int device, const std::string& operation, const std::string& service) {
    const bool media1 = m_options.media == "1" || m_options.media == "both";
    const bool media2 = m_options.media == "2" || m_options.media == "both";
    if (service == "device_service") return DeviceAnswer(device, operation, media1, media2);
    if (service == "media_service" && media1) return MediaAnswer(device, operation, false);
    if (service == "media2_service" && media2) return MediaAnswer(device, operation, true);
    return {};
}

std::string SoapServer::DeviceAnswer(int device, const std::string& operation, bool media1, bool media2) {
    const Options& o = m_options;
    if (operation == "GetSystemDateAndTime") {
        const std::time_t now = std::time(nullptr) + o.clockSkew;
        std::tm t{};
        ::gmtime_r(&now, &t);
        return "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>NTP</"
               "tt:DateTimeType>"
               "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>UTC0</tt:TZ></"
               "tt:TimeZone>"
               "<tt:UTCDateTime><tt:Time><tt:Hour>" +
               std::to_string(t.tm_hour) + "</tt:Hour><tt:Minute>" + std::to_string(t.tm_min) +
               "</tt:Minute><tt:Second>" + std::to_string(t.tm_sec) +
               "</tt:Second></tt:Time><tt:Date><tt:Year>" + std::to_string(t.tm_year + 1900) +
               "</tt:Year><tt:Month>" + std::to_string(t.tm_mon + 1) + "</tt:Month><tt:Day>" +
               std::to_string(t.tm_mday) +
               "</tt:Day></tt:Date></tt:UTCDateTime>"
               "</tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>";
    }
    if (operation == "GetServices") {
        auto entry = [&](const char* space, const std::string& svc) {
            return std::string("<tds:Service><tds:Namespace>") + space + "</tds:Namespace><tds:XAddr>\n  " +
                   ServiceUrl(device, svc) +
                   "\n</tds:XAddr><tds:Version><tt:Major>2</tt:Major><tt:Minor>60"
                   "</tt:Minor></tds:Version></tds:Service>";
        };
        std::string s =
            "<tds:GetServicesResponse>" + entry("http://www.onvif.org/ver10/device/wsdl", "device_service");
        if (media1) s += entry("http://www.onvif.org/ver10/media/wsdl", "media_service");
        if (media2) s += entry("http://www.onvif.org/ver20/media/wsdl", "media2_service");
        s += entry("http://www.onvif.org/ver20/ptz/wsdl", "ptz_service");
        s += entry("http://www.example.com/vendor/wsdl", "vendor_service");
        return s + "</tds:GetServicesResponse>";
    }
    if (operation == "GetCapabilities") {
        std::string s = "<tds:GetCapabilitiesResponse><tds:Capabilities><tt:Device><tt:XAddr>" +
                        ServiceUrl(device, "device_service") + "</tt:XAddr></tt:Device>";
        if (media1)
            s += "<tt:Media><tt:XAddr>" + ServiceUrl(device, "media_service") + "</tt:XAddr></tt:Media>";
        s += "<tt:PTZ><tt:XAddr>" + ServiceUrl(device, "ptz_service") + "</tt:XAddr></tt:PTZ>";
        return s + "</tds:Capabilities></tds:GetCapabilitiesResponse>";
    }
    if (operation == "GetNetworkInterfaces") {
        char mac[18];
        // A locally administered address of its own per simulated site (the seed) and device.
        std::snprintf(mac, sizeof mac, "02:fc:%02x:%02x:%02x:%02x", m_options.seed & 0xffu,
                      (device >> 16) & 0xff, (device >> 8) & 0xff, device & 0xff);
        return "<tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"eth0\"><tt:Enabled>true"
               "</tt:Enabled><tt:Info><tt:Name>eth0</tt:Name><tt:HwAddress>" +
               std::string(mac) + "</tt:HwAddress><tt:MTU>1500</tt:MTU></tt:Info>" +
               (IsIpv6(m_options.bind)
                    ? "<tt:IPv6><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>" +
                          WithoutZone(m_options.bind) +
                          "</tt:Address><tt:PrefixLength>64</tt:PrefixLength></tt:Manual></tt:Config></"
                          "tt:IPv6>"
                    : "<tt:IPv4><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>" +
                          m_options.bind +
                          "</tt:Address><tt:PrefixLength>24</tt:PrefixLength></tt:Manual><tt:DHCP>false</"
                          "tt:DHCP></tt:Config></tt:IPv4>") +
               "</tds:NetworkInterfaces></tds:GetNetworkInterfacesResponse>";
    }
    if (operation == "GetNTP") {
        const std::string family = IsIpv6(m_options.bind) ? "IPv6" : "IPv4";
        return "<tds:GetNTPResponse><tds:NTPInformation><tt:FromDHCP>false</tt:FromDHCP><tt:NTPManual>"
               "<tt:Type>" +
               family + "</tt:Type><tt:" + family + "Address>" + WithoutZone(m_options.bind) +
               "</tt:" + family + "Address></tt:NTPManual></tds:NTPInformation></tds:GetNTPResponse>";
    }
    if (operation == "GetDeviceInformation") {
        return "<tds:GetDeviceInformationResponse><tds:Manufacturer>Fakecam</"
               "tds:Manufacturer><tds:Model>FC-" +
               std::to_string(100 + device % 7) + "</tds:Model><tds:FirmwareVersion>" +
               XmlText(m_options.firmware) +
               "</tds:FirmwareVersion>"
               "<tds:SerialNumber>FC" +
               std::to_string(device) +
               "</tds:SerialNumber><tds:HardwareId>1"
               "</tds:HardwareId></tds:GetDeviceInformationResponse>";
    }
    return {};
}

namespace {

// A video source configuration's elements.
std::string VideoSourceXml(int source) {
    return "<tt:Name>VideoSourceConfig</tt:Name><tt:UseCount>2</tt:UseCount><tt:SourceToken>VideoSource_" +
           std::to_string(source + 1) +
           "</tt:SourceToken><tt:Bounds x=\"0\" y=\"0\" width=\"1920\" height=\"1080\"/>";
}

// A video encoder configuration's elements, as the schema orders them: Media 1's with its rate control,
// its H.264 settings, multicast and session timeout; Media 2's with the same in its own shape.
std::string EncoderXml(const ProfileSpec& p, bool isMedia2) {
    const std::string size = "<tt:Resolution><tt:Width>" + std::to_string(p.width) +
                             "</tt:Width><tt:Height>" + std::to_string(p.height) +
                             "</tt:Height></tt:Resolution>";
    const std::string bitrate = std::to_string(p.width >= 1280 ? 4096 : 512);
    const std::string multicast =
        "<tt:Multicast><tt:Address><tt:Type>IPv4</tt:Type><tt:IPv4Address>239.0.0.1</tt:IPv4Address>"
        "</tt:Address><tt:Port>0</tt:Port><tt:TTL>5</tt:TTL><tt:AutoStart>false</tt:AutoStart></"
        "tt:Multicast>";
    if (isMedia2) {
        return "<tt:Name>VideoEncoder</tt:Name><tt:UseCount>1</tt:UseCount><tt:Encoding>" + p.encoding +
               "</tt:Encoding>" + size +
               "<tt:RateControl ConstantBitRate=\"false\"><tt:FrameRateLimit>25</tt:FrameRateLimit>"
               "<tt:BitrateLimit>" +
               bitrate + "</tt:BitrateLimit></tt:RateControl>" + multicast + "<tt:Quality>5</tt:Quality>";
    }
    // Media 1's enumeration has no word for H.265: firmware writes the nearest, H264. Only Media 2 says.
    const std::string encoding = p.encoding == "H265" ? "H264" : p.encoding;
    std::string s = "<tt:Name>VideoEncoder</tt:Name><tt:UseCount>1</tt:UseCount><tt:Encoding>" + encoding +
                    "</tt:Encoding>" + size +
                    "<tt:Quality>5</tt:Quality><tt:RateControl><tt:FrameRateLimit>25</tt:FrameRateLimit>"
                    "<tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>" +
                    bitrate + "</tt:BitrateLimit></tt:RateControl>";
    if (encoding == "H264")
        s += "<tt:H264><tt:GovLength>50</tt:GovLength><tt:H264Profile>Main</tt:H264Profile></tt:H264>";
    return s + multicast + "<tt:SessionTimeout>PT60S</tt:SessionTimeout>";
}

// One profile of GetProfiles, as Media 1 (tt: configurations) or Media 2 (tr2:Configurations) lists it.
std::string ProfileXml(const ProfileSpec& p, bool isMedia2) {
    const std::string t = isMedia2 ? "tr2" : "trt";
    const std::string name = isMedia2 ? "tr2:Name" : "tt:Name";
    const std::string videoSource = VideoSourceXml(p.source);
    const std::string encoder = EncoderXml(p, isMedia2);
    const std::string audio =
        "<tt:Name>AudioSource</tt:Name><tt:UseCount>1</tt:UseCount><tt:SourceToken>"
        "AudioSource_1</tt:SourceToken>";
    std::string s = "<" + t + ":Profiles token=\"" + p.token + "\" fixed=\"true\"><" + name + ">" + p.name +
                    "</" + name + ">";
    if (isMedia2) {
        s += "<tr2:Configurations>";
        if (p.video)
            s += "<tr2:VideoSource token=\"VSC_" + std::to_string(p.source) + "\">" + videoSource +
                 "</tr2:VideoSource>";
        s += "<tr2:AudioSource token=\"ASC\">" + audio + "</tr2:AudioSource>";
        if (p.video)
            s += "<tr2:VideoEncoder token=\"VEC_" + p.token + "\">" + encoder + "</tr2:VideoEncoder>";
        s += "</tr2:Configurations>";
    } else {
        if (p.video) {
            s += "<tt:VideoSourceConfiguration token=\"VSC_" + std::to_string(p.source) + "\">" +
                 videoSource + "</tt:VideoSourceConfiguration>";
        }
        s += "<tt:AudioSourceConfiguration token=\"ASC\">" + audio + "</tt:AudioSourceConfiguration>";
        if (p.video)
            s += "<tt:VideoEncoderConfiguration token=\"VEC_" + p.token + "\">" + encoder +
                 "</tt:VideoEncoderConfiguration>";
    }
    return s + "</" + t + ":Profiles>";
}

}  // namespace

std::string SoapServer::MediaAnswer(int device, const std::string& operation, bool isMedia2) {
    const Options& o = m_options;
    const std::string p = isMedia2 ? "tr2" : "trt";
    if (operation == "GetProfiles") {
        std::string s = "<" + p + ":GetProfilesResponse>";
        for (const ProfileSpec& profile : DeviceProfiles(o)) s += ProfileXml(profile, isMedia2);
        s += "</" + p + ":GetProfilesResponse>";
        // A server that breaks inside a long answer: NUL bytes from this offset on, under a right length.
        if (o.nulBytesFrom > 0 && s.size() > static_cast<std::size_t>(o.nulBytesFrom)) {
            std::fill(s.begin() + o.nulBytesFrom, s.end(), '\0');
        }
        return s;
    }
    // What every device answers of its inputs and encoders besides the profiles (other clients ask).
    const std::vector<ProfileSpec> profiles = DeviceProfiles(o);
    const int sources = std::max(1, o.videoSources);
    if (operation == "GetVideoSources" && !isMedia2) {
        std::string s = "<trt:GetVideoSourcesResponse>";
        for (int i = 0; i < sources; ++i) {
            s += "<trt:VideoSources token=\"VideoSource_" + std::to_string(i + 1) +
                 "\"><tt:Framerate>25</tt:Framerate><tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080"
                 "</tt:Height></tt:Resolution></trt:VideoSources>";
        }
        return s + "</trt:GetVideoSourcesResponse>";
    }
    if (operation == "GetVideoSourceConfigurations") {
        std::string s = "<" + p + ":GetVideoSourceConfigurationsResponse>";
        for (int i = 0; i < sources; ++i) {
            s += "<" + p + ":Configurations token=\"VSC_" + std::to_string(i) + "\">" + VideoSourceXml(i) +
                 "</" + p + ":Configurations>";
        }
        return s + "</" + p + ":GetVideoSourceConfigurationsResponse>";
    }
    if (operation == "GetVideoEncoderConfigurations") {
        std::string s = "<" + p + ":GetVideoEncoderConfigurationsResponse>";
        for (const ProfileSpec& profile : profiles) {
            if (!profile.video) continue;
            s += "<" + p + ":Configurations token=\"VEC_" + profile.token + "\"" +
                 (isMedia2 ? " GovLength=\"50\" Profile=\"Main\"" : "") + ">" +
                 EncoderXml(profile, isMedia2) + "</" + p + ":Configurations>";
        }
        return s + "</" + p + ":GetVideoEncoderConfigurationsResponse>";
    }
    if (operation.rfind("GetSnapshotUri:", 0) == 0) {
        const std::string uri = XmlText(SnapshotUri(o, device, operation.substr(15)));
        if (!isMedia2) {
            return "<trt:GetSnapshotUriResponse><trt:MediaUri><tt:Uri>" + uri +
                   "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect><tt:InvalidAfterReboot>"
                   "false</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri>"
                   "</trt:GetSnapshotUriResponse>";
        }
        return "<tr2:GetSnapshotUriResponse><tr2:Uri>" + uri + "</tr2:Uri></tr2:GetSnapshotUriResponse>";
    }
    if (operation.rfind("GetStreamUri:", 0) == 0) {
        const std::string token = operation.substr(13);
        const std::string escaped = XmlText(StreamUri(o, device, token, isMedia2));
        if (!isMedia2) {
            return "<trt:GetStreamUriResponse><trt:MediaUri><tt:Uri>\n  " + escaped +
                   "\n</tt:Uri><tt:InvalidAfterConnect>false</"
                   "tt:InvalidAfterConnect><tt:InvalidAfterReboot>false"
                   "</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri></"
                   "trt:GetStreamUriResponse>";
        }
        return "<tr2:GetStreamUriResponse><tr2:Uri>" + escaped + "</tr2:Uri></tr2:GetStreamUriResponse>";
    }
    return {};
}

}  // namespace fakecam

#include "Client.h"

#include <curl/curl.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <optional>

#include "Crypto.h"
#include "Http.h"
#include "Soap.h"
#include "onvifc.h"

namespace onvifc {

namespace {

struct Url {
    std::string scheme;
    std::string host;  // as written, brackets kept for IPv6
    std::string port;  // may be empty
    std::string pathAndQuery;
};

std::optional<Url> ParseUrl(const std::string& text) {
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    std::optional<Url> result;
    if (curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        Url url;
        char* part = nullptr;
        auto take = [&](CURLUPart which, std::string& into) {
            if (curl_url_get(u, which, &part, 0) == CURLUE_OK && part) {
                into = part;
                curl_free(part);
                part = nullptr;
            }
        };
        take(CURLUPART_SCHEME, url.scheme);
        take(CURLUPART_HOST, url.host);
        take(CURLUPART_PORT, url.port);
        std::string path, query;
        take(CURLUPART_PATH, path);
        take(CURLUPART_QUERY, query);
        url.pathAndQuery = path.empty() ? "/" : path;
        if (!query.empty()) url.pathAndQuery += "?" + query;
        for (auto& c : url.scheme) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
        result = url;
    }
    curl_url_cleanup(u);
    return result;
}

bool IsHttp(const Url& url) { return (url.scheme == "http" || url.scheme == "https") && !url.host.empty(); }

std::string Origin(const Url& url) {
    return url.scheme + "://" + url.host + (url.port.empty() ? "" : ":" + url.port);
}

int TransportError(const HttpResult& r) {
    switch (r.code) {
        case CURLE_OPERATION_TIMEDOUT: return ONVIF_ERR_TIMED_OUT;
        case CURLE_UNSUPPORTED_PROTOCOL: return ONVIF_ERR_UNSUPPORTED_ADDRESS;
        case CURLE_FILESIZE_EXCEEDED:
        case CURLE_WRITE_ERROR:
        case CURLE_WEIRD_SERVER_REPLY: return ONVIF_ERR_UNEXPECTED_REPLY;
        default: return ONVIF_ERR_CANNOT_CONNECT;
    }
}

constexpr const char* kMedia1Setup =
    "<trt:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport><tt:Protocol>RTSP</tt:Protocol>"
    "</tt:Transport></trt:StreamSetup>";

class Call {
public:
    Call(std::string uri, std::string user, std::string password)
        : m_uri(std::move(uri)),
          m_user(std::move(user)),
          m_password(std::move(password)),
          m_http(Clock::now() + std::chrono::seconds(kCallSeconds)) {}

    CallResult Run() {
        CallResult result;
        result.code = Exchange(result.items);
        result.stats = {m_http.Requests(), m_http.Connections(), m_http.Rounds()};
        return result;
    }

private:
    // One answered request: either a transport failure (`error` < 0) or a reply to read.
    struct Answer {
        int error = 0;
        HttpResult http;
        SoapReply soap;
        bool refused() const { return http.status == 401 || soap.notAuthorized; }
    };

    std::optional<UsernameToken> Token(bool withCredentials) const {
        if (!withCredentials || m_user.empty()) return std::nullopt;
        const std::string nonce = RandomBytes(16);
        const std::string created = FormatUtc(std::time(nullptr) + m_clockOffset);
        return UsernameToken{m_user, PasswordDigest(nonce, created, m_password), Base64Encode(nonce), created};
    }

    HttpRequest Request(const std::string& url, const std::string& space, const char* operation,
                        const std::string& payload, bool withCredentials) const {
        return {url, space + "/" + operation, Envelope(payload, Token(withCredentials))};
    }

    Answer Read(HttpResult http) const {
        Answer a;
        a.http = std::move(http);
        if (a.http.code != CURLE_OK) {
            a.error = TransportError(a.http);
            return a;
        }
        a.soap = ClassifyReply(a.http.body);
        return a;
    }

    // Sends requests together; a Digest challenge switches the session to HTTP Digest once and sends
    // the challenged requests again. Wrong credentials then come back refused, and end the call.
    std::vector<Answer> Send(const std::vector<HttpRequest>& requests,
                             const std::function<HttpRequest(std::size_t)>& rebuild) {
        std::vector<Answer> answers;
        for (auto& r : m_http.PostAll(requests)) answers.push_back(Read(std::move(r)));
        bool challenged = false;
        for (const auto& a : answers) challenged |= a.error == 0 && a.http.status == 401 && a.http.digestChallenge;
        if (challenged && !m_user.empty() && !m_http.UsingDigest()) {
            m_http.UseDigest(m_user, m_password);
            std::vector<HttpRequest> again;
            std::vector<std::size_t> which;
            for (std::size_t i = 0; i < answers.size(); ++i) {
                if (answers[i].error == 0 && answers[i].http.status == 401) {
                    again.push_back(rebuild(i));
                    which.push_back(i);
                }
            }
            auto retried = m_http.PostAll(again);
            for (std::size_t k = 0; k < which.size(); ++k) answers[which[k]] = Read(std::move(retried[k]));
        }
        return answers;
    }

    Answer SendOne(const std::string& url, const std::string& space, const char* operation,
                   const std::string& payload, bool withCredentials) {
        return Send({Request(url, space, operation, payload, withCredentials)},
                    [&](std::size_t) { return Request(url, space, operation, payload, withCredentials); })
            .front();
    }

    // A service address as the device advertised it, made usable: one that is not an http or https
    // address becomes its path on the caller's scheme, host and port.
    std::string Resolve(const std::string& advertised) const {
        const auto url = ParseUrl(advertised);
        if (url && IsHttp(*url)) return advertised;
        if (url && !url->pathAndQuery.empty()) return Origin(m_base) + url->pathAndQuery;
        return m_uri;
    }

    // Where to try again when an advertised address can't be reached (NAT, 127.x, no such host): its
    // path on the caller's scheme, host and port; empty when that is where it already pointed.
    std::string Fallback(const std::string& advertised) const {
        const auto url = ParseUrl(advertised);
        if (!url || Origin(*url) == Origin(m_base)) return {};
        return Origin(m_base) + url->pathAndQuery;
    }

    Answer SendToService(std::string& url, const std::string& space, const char* operation,
                         const std::string& payload) {
        Answer a = SendOne(url, space, operation, payload, true);
        if (a.error != 0 && !a.http.connected) {
            const std::string other = Fallback(url);
            if (!other.empty()) {
                url = other;
                a = SendOne(url, space, operation, payload, true);
            }
        }
        return a;
    }

    int SyncClock() {
        const std::string payload = "<tds:GetSystemDateAndTime xmlns:tds=\"" + std::string(ns::kDevice) + "\"/>";
        Answer a = SendOne(m_uri, ns::kDevice, "GetSystemDateAndTime", payload, false);
        if (a.error) return a.error;
        if (a.refused()) {
            if (m_user.empty()) return ONVIF_ERR_NOT_AUTHORIZED;
            a = SendOne(m_uri, ns::kDevice, "GetSystemDateAndTime", payload, true);
            if (a.error) return a.error;
            if (a.refused()) return ONVIF_ERR_NOT_AUTHORIZED;
        }
        if (!a.soap.isSoap) return ONVIF_ERR_UNEXPECTED_REPLY;
        if (const auto deviceTime = ParseSystemDateAndTime(a.http.body)) {
            m_clockOffset = *deviceTime - std::time(nullptr);
        }
        return 0;  // a device that won't tell its time is used with ours
    }

    int FindServices(Services& services) {
        const std::string tds = std::string("xmlns:tds=\"") + ns::kDevice + "\"";
        Answer a = SendOne(m_uri, ns::kDevice, "GetServices",
                           "<tds:GetServices " + tds + "><tds:IncludeCapability>false</tds:IncludeCapability>"
                           "</tds:GetServices>", true);
        if (a.error) return a.error;
        if (a.refused()) return ONVIF_ERR_NOT_AUTHORIZED;
        if (auto found = ParseServices(a.http.body)) services = *found;
        if (services.media1.empty() && services.media2.empty()) {
            a = SendOne(m_uri, ns::kDevice, "GetCapabilities",
                        "<tds:GetCapabilities " + tds + "><tds:Category>All</tds:Category></tds:GetCapabilities>",
                        true);
            if (a.error) return a.error;
            if (a.refused()) return ONVIF_ERR_NOT_AUTHORIZED;
            if (auto found = ParseCapabilities(a.http.body)) {
                services.media1 = found->media1;
                if (services.ptz.empty()) services.ptz = found->ptz;
            }
        }
        if (services.media1.empty() && services.media2.empty()) return ONVIF_ERR_UNEXPECTED_REPLY;
        return 0;
    }

    int Exchange(std::vector<StreamItem>& items) {
        const auto base = ParseUrl(m_uri);
        if (!base || !IsHttp(*base)) return ONVIF_ERR_UNSUPPORTED_ADDRESS;
        m_base = *base;

        if (int rc = SyncClock(); rc < 0) return rc;
        Services services;
        if (int rc = FindServices(services); rc < 0) return rc;

        const bool media2 = services.media1.empty();
        const std::string space = media2 ? ns::kMedia2 : ns::kMedia1;
        const std::string prefix = media2 ? "tr2" : "trt";
        const std::string declare = "xmlns:" + prefix + "=\"" + space + "\"";
        std::string mediaUrl = Resolve(media2 ? services.media2 : services.media1);

        const std::string getProfiles = media2 ? "<tr2:GetProfiles " + declare + "><tr2:Type>All</tr2:Type></tr2:GetProfiles>"
                                               : "<trt:GetProfiles " + declare + "/>";
        Answer a = SendToService(mediaUrl, space, "GetProfiles", getProfiles);
        if (a.error) return a.error;
        if (a.refused()) return ONVIF_ERR_NOT_AUTHORIZED;
        const auto profiles = ParseProfiles(a.http.body);
        if (!profiles) return ONVIF_ERR_UNEXPECTED_REPLY;
        if (profiles->empty()) return ONVIF_ERR_NO_PROFILES;

        auto streamRequest = [&](std::size_t i) {
            const std::string token = "<" + prefix + ":ProfileToken>" + XmlEscape((*profiles)[i].token) + "</" +
                                      prefix + ":ProfileToken>";
            const std::string payload =
                media2 ? "<tr2:GetStreamUri " + declare + "><tr2:Protocol>RTSP</tr2:Protocol>" + token +
                             "</tr2:GetStreamUri>"
                       : "<trt:GetStreamUri " + declare + " xmlns:tt=\"" + ns::kSchema + "\">" + kMedia1Setup + token +
                             "</trt:GetStreamUri>";
            return Request(mediaUrl, space, "GetStreamUri", payload, true);
        };
        std::vector<HttpRequest> requests;
        for (std::size_t i = 0; i < profiles->size(); ++i) requests.push_back(streamRequest(i));
        const auto answers = Send(requests, streamRequest);

        int firstError = 0;
        bool anyUri = false;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const Answer& s = answers[i];
            if (s.error == 0 && s.refused()) return ONVIF_ERR_NOT_AUTHORIZED;
            std::string uri;
            if (s.error == 0) {
                if (auto parsed = ParseStreamUri(s.http.body)) {
                    uri = *parsed;
                    anyUri = true;
                } else if (!firstError) {
                    firstError = ONVIF_ERR_UNEXPECTED_REPLY;
                }
            } else if (!firstError) {
                firstError = s.error;
            }
            items.push_back({(*profiles)[i].name, (*profiles)[i].token, uri, services.ptz});
        }
        if (!anyUri) {
            items.clear();
            return firstError ? firstError : ONVIF_ERR_UNEXPECTED_REPLY;
        }
        return static_cast<int>(items.size());
    }

    std::string m_uri;
    std::string m_user;
    std::string m_password;
    Url m_base;
    HttpSession m_http;
    long m_clockOffset = 0;
};

}  // namespace

CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password) {
    return Call(uri, user, password).Run();
}

std::string ResultDocument(const std::vector<StreamItem>& items) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Onvif_GetStreamUri>";
    for (const auto& item : items) {
        doc += "<item><Name>" + XmlEscape(item.name) + "</Name><Token>" + XmlEscape(item.token) + "</Token><Uri>" +
               XmlEscape(item.uri) + "</Uri><UriPTZ>" + XmlEscape(item.uriPtz) + "</UriPTZ></item>";
    }
    doc += "</Onvif_GetStreamUri>";
    return doc;
}

}  // namespace onvifc

extern "C" int Onvif_GetStreamUri(char* buf, int size, const char* uri, const char* user, const char* password) {
    if (!buf || size <= 0 || !uri || !user || !password) return ONVIF_ERR_INVALID_ARGUMENT;
    try {
        const onvifc::CallResult result = onvifc::GetStreamUris(uri, user, password);
        if (result.code < 0) return result.code;
        const std::string doc = onvifc::ResultDocument(result.items);
        if (doc.size() + 1 > static_cast<std::size_t>(size)) return ONVIF_ERR_RESULT_TOO_LARGE;
        std::memcpy(buf, doc.c_str(), doc.size() + 1);
        return result.code;
    } catch (...) {
        // Nothing may cross the C boundary; running out of memory is the only thing that throws here.
        return ONVIF_ERR_UNEXPECTED_REPLY;
    }
}

extern "C" const char* Onvif_ErrorText(int code) {
    switch (code) {
        case ONVIF_ERR_INVALID_ARGUMENT: return "invalid argument";
        case ONVIF_ERR_UNSUPPORTED_ADDRESS: return "unsupported address: only http and https device addresses are used";
        case ONVIF_ERR_CANNOT_CONNECT: return "cannot connect to the device";
        case ONVIF_ERR_TIMED_OUT: return "the device did not answer in time";
        case ONVIF_ERR_NOT_AUTHORIZED: return "not authorized: the device refused the user name or password";
        case ONVIF_ERR_UNEXPECTED_REPLY: return "not an ONVIF device, or an unexpected reply";
        case ONVIF_ERR_NO_PROFILES: return "the device has no media profiles";
        case ONVIF_ERR_RESULT_TOO_LARGE: return "the result is too large for the buffer";
        default: return code >= 0 ? "success" : "unknown error";
    }
}

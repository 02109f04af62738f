#include "Client.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>

#include "Crypto.h"
#include "Http.h"
#include "RtspCheck.h"
#include "Soap.h"
#include "onvifc.h"

namespace onvifc {

namespace {

bool IsHttp(const Url& url) { return (url.scheme == "http" || url.scheme == "https") && !url.host.empty(); }

std::string HostPort(const std::string& address) {
    const auto url = ParseUrl(address);
    if (!url) return address;
    return url->host + (url->port.empty() ? "" : ":" + url->port);
}

// A device's words, cut to a line.
std::string Shortened(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    if (text.size() > 160) text = text.substr(0, 157) + "...";
    return text;
}

// A body that sets out to be XML: a declaration or an element first.
bool LooksLikeXml(const std::string& body) {
    const auto first = body.find_first_not_of(" \t\r\n");
    return first != std::string::npos && body[first] == '<';
}

// Encodings as Media 1 names them; Media 2 uses MIME subtypes.
std::string EncodingName(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (text == "MPV4-ES") return "MPEG4";
    if (text == "H.264") return "H264";
    if (text == "H.265" || text == "HEVC") return "H265";
    return text.substr(0, 16);
}

// The profiles that carry video, in the device's order but those of the first video source (the
// source of the first video profile) first, then those of the next, and so on: so the first two are a
// main and a sub stream of one camera. Profiles that list no configuration at all cannot tell, and are
// all kept when every profile is such.
std::vector<Profile> VideoProfilesBySource(const std::vector<Profile>& profiles) {
    const bool anyTells =
        std::any_of(profiles.begin(), profiles.end(), [](const Profile& p) { return p.configurations; });
    if (!anyTells) return profiles;
    std::vector<std::string> sources;
    for (const Profile& p : profiles) {
        if (p.video && std::find(sources.begin(), sources.end(), p.videoSource) == sources.end())
            sources.push_back(p.videoSource);
    }
    std::vector<Profile> out;
    for (const std::string& source : sources) {
        for (const Profile& p : profiles) {
            if (p.video && p.videoSource == source) out.push_back(p);
        }
    }
    return out;
}

constexpr const char* kMedia1Setup =
    "<trt:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport><tt:Protocol>RTSP</tt:Protocol>"
    "</tt:Transport></trt:StreamSetup>";

class Call {
public:
    Call(const std::string& uri, std::string user, std::string password)
        : m_uri(uri),
          m_user(std::move(user)),
          m_password(std::move(password)),
          m_base(ParseUrl(uri)),
          m_http(Clock::now() + std::chrono::seconds(kCallSeconds), Credentials().first,
                 Credentials().second) {}
    // Credentials() holds no user unless a password comes with it: a user name alone is no login, and an
    // empty password is not tried (cameras count failed logins).

    CallResult Run() {
        CallResult result;
        result.code = Exchange(result.items);
        if (result.code < 0) {
            result.items.clear();
            result.detail = m_detail;
        }
        result.stats = {m_http.Requests(), m_http.Connections(), m_http.Rounds()};
        return result;
    }

private:
    // One answered request: either a transport failure (`error` < 0) or a reply to read.
    struct Answer {
        int error = 0;
        HttpResult http;
        SoapReply soap;
        // Refused for want of the right credentials. A fault that names another cause (ActionNotSupported,
        // say) is that cause, whatever status and challenge came with it.
        bool refused() const {
            if (soap.isFault && !soap.notAuthorized) return false;
            return http.status == 401 || soap.notAuthorized || (http.status == 400 && http.digestChallenge);
        }
    };

    // The credentials given, or else those written into the address; the address's own are never sent
    // as they stand.
    std::pair<std::string, std::string> Credentials() const {
        std::pair<std::string, std::string> given{m_user, m_password};
        if (m_user.empty() && m_password.empty() && m_base) given = {m_base->user, m_base->password};
        if (given.second.empty()) return {};
        return given;
    }
    // The user name given without a password, if that is what was given.
    std::string UserWithoutPassword() const {
        if (m_user.empty() && m_password.empty() && m_base)
            return m_base->password.empty() ? m_base->user : "";
        return m_password.empty() ? m_user : "";
    }

    int Fail(int code, std::string detail) {
        m_detail = std::move(detail);
        return code;
    }

    int TransportFailure(const HttpResult& r, const std::string& url) {
        const std::string where = " (" + HostPort(url) + ")";
        if (r.headersTooLarge) {
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device's reply headers are too large (over " +
                                                        std::to_string(kMaxHeaderBytes / 1024) + " KiB)" +
                                                        where);
        }
        switch (r.code) {
            case CURLE_OPERATION_TIMEDOUT:
                if (!r.connected)
                    return Fail(ONVIF_ERR_TIMED_OUT, "no connection to the device in time" + where);
                return Fail(ONVIF_ERR_TIMED_OUT,
                            "the device did not answer in time" + where +
                                (r.budgetSpent ? ": its answers are too slow for the call's " +
                                                     std::to_string(kCallSeconds) + " s"
                                               : std::string()));
            case CURLE_UNSUPPORTED_PROTOCOL:
                return Fail(ONVIF_ERR_UNSUPPORTED_ADDRESS, "unsupported address: " + Shortened(url));
            case CURLE_COULDNT_RESOLVE_HOST:
                return Fail(ONVIF_ERR_CANNOT_CONNECT,
                            "cannot connect to the device: host name not found" + where);
            case CURLE_COULDNT_CONNECT:
                if (r.osErrno == ECONNREFUSED)
                    return Fail(ONVIF_ERR_CANNOT_CONNECT,
                                "cannot connect to the device: connection refused" + where);
                if (r.osErrno == EHOSTUNREACH || r.osErrno == ENETUNREACH) {
                    return Fail(ONVIF_ERR_CANNOT_CONNECT,
                                "cannot connect to the device: no route to it" + where);
                }
                return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device" + where);
            case CURLE_GOT_NOTHING:
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
                return Fail(ONVIF_ERR_CANNOT_CONNECT,
                            "the device closed the connection without an answer" + where);
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_ISSUER_ERROR:
                return Fail(ONVIF_ERR_CERTIFICATE_REFUSED,
                            "the device's certificate was refused" + where + ": " + Shortened(r.error));
            case CURLE_SSL_CONNECT_ERROR:
                return Fail(ONVIF_ERR_CANNOT_CONNECT, "TLS handshake with the device failed" + where);
            case CURLE_PARTIAL_FILE:
                return Fail(ONVIF_ERR_REPLY_CUT_SHORT, "the device's reply was cut short" + where);
            case CURLE_FILESIZE_EXCEEDED:
            case CURLE_WRITE_ERROR:
                return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device's reply is larger than 1 MiB" + where);
            case CURLE_WEIRD_SERVER_REPLY:
                return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the reply is not HTTP" + where);
            default:
                return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device" + where +
                                                          (r.error.empty() ? "" : ": " + Shortened(r.error)));
        }
    }

    // Why a reply that is not the expected response fails the call.
    int ReplyFailure(const Answer& a, const char* operation) {
        if (a.refused() && !a.http.digestChallenge && !a.http.unanswerable.empty()) {
            return Fail(ONVIF_ERR_NOT_AUTHORIZED, "the device asks for HTTP Digest with " +
                                                      a.http.unanswerable +
                                                      ", which this client cannot answer");
        }
        if (a.refused() && a.http.basicOnly) {
            return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                        "the device asks for HTTP Basic only, which would send the password in clear: "
                        "it was not sent");
        }
        if (a.refused()) {
            if (!UserWithoutPassword().empty()) {
                return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                            "the device wants credentials, and no password was given for " +
                                Shortened(UserWithoutPassword()) + " (none was sent)");
            }
            return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                        Credentials().first.empty()
                            ? "credentials refused by the device: it wants a user name"
                            : "credentials refused by the device");
        }
        if (a.soap.isFault) {
            return Fail(ONVIF_ERR_DEVICE_FAULT, std::string("the device answered ") + operation +
                                                    " with a fault: " + Shortened(a.soap.faultText));
        }
        if (!a.soap.wellFormed && LooksLikeXml(a.http.body)) {
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, std::string("the reply to ") + operation +
                                                        " is not well-formed XML (HTTP " +
                                                        std::to_string(a.http.status) + ")");
        }
        if (!a.soap.isSoap) {
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, std::string("the reply to ") + operation +
                                                        " is not SOAP (HTTP " +
                                                        std::to_string(a.http.status) + ")");
        }
        return Fail(ONVIF_ERR_UNEXPECTED_REPLY, std::string("unexpected reply to ") + operation);
    }

    std::optional<UsernameToken> Token(bool withCredentials) const {
        const std::string user = Credentials().first;
        if (!withCredentials || user.empty()) return std::nullopt;
        const std::string nonce = RandomBytes(16);
        const std::string created = FormatUtc(std::time(nullptr) + m_clockOffset);
        return UsernameToken{user, PasswordDigest(nonce, created, Credentials().second), Base64Encode(nonce),
                             created};
    }

    HttpRequest Request(const std::string& url, const std::string& space, const char* operation,
                        const std::string& payload, bool withCredentials) const {
        return {url, space + "/" + operation, Envelope(payload, Token(withCredentials))};
    }

    Answer Read(HttpResult http) const {
        Answer a;
        a.http = std::move(http);
        if (a.http.code != CURLE_OK) {
            a.error = -1;
            return a;
        }
        a.soap = ClassifyReply(a.http.body);
        return a;
    }

    std::vector<Answer> Send(std::size_t count, const HttpSession::Builder& build) {
        std::vector<Answer> answers;
        for (auto& r : m_http.PostAll(count, build)) answers.push_back(Read(std::move(r)));
        return answers;
    }

    Answer SendOne(const std::string& url, const std::string& space, const char* operation,
                   const std::string& payload, bool withCredentials) {
        return Send(1, [&](std::size_t) { return Request(url, space, operation, payload, withCredentials); })
            .front();
    }

    const std::string& DeviceUrl() const { return m_deviceUrl; }

    std::string TimeRequest() const {
        return "<tds:GetSystemDateAndTime xmlns:tds=\"" + std::string(ns::kDevice) + "\"/>";
    }
    std::string ServicesRequest() const {
        return "<tds:GetServices xmlns:tds=\"" + std::string(ns::kDevice) +
               "\"><tds:IncludeCapability>false</tds:IncludeCapability></tds:GetServices>";
    }

    // The device clock, then the services; both are asked for at once without credentials, as ONVIF
    // allows, and asked again with them where the device wants them.
    int Discover(Services& services) {
        auto first = Send(2, [&](std::size_t i) {
            return i == 0 ? Request(DeviceUrl(), ns::kDevice, "GetSystemDateAndTime", TimeRequest(), false)
                          : Request(DeviceUrl(), ns::kDevice, "GetServices", ServicesRequest(), false);
        });
        Answer time = first[0];
        if (time.error) return TransportFailure(time.http, DeviceUrl());
        if (time.refused()) {
            if (Credentials().first.empty()) return ReplyFailure(time, "GetSystemDateAndTime");
            time = SendOne(DeviceUrl(), ns::kDevice, "GetSystemDateAndTime", TimeRequest(), true);
            if (time.error) return TransportFailure(time.http, DeviceUrl());
            if (time.refused()) return ReplyFailure(time, "GetSystemDateAndTime");
        }
        if (!time.soap.isSoap) return ReplyFailure(time, "GetSystemDateAndTime");
        if (const auto deviceTime = ParseSystemDateAndTime(time.http.body)) {
            m_clockOffset = *deviceTime - std::time(nullptr);
        }  // a device that won't tell its time is used with ours

        Answer a = first[1];
        if (a.error == 0 && a.refused() && !Credentials().first.empty()) {
            a = SendOne(DeviceUrl(), ns::kDevice, "GetServices", ServicesRequest(), true);
        }
        if (a.error) return TransportFailure(a.http, DeviceUrl());
        if (a.refused()) return ReplyFailure(a, "GetServices");
        if (auto found = ParseServices(a.http.body)) services = *found;
        if (!services.media1.empty() || !services.media2.empty()) return 0;

        // Older devices know only GetCapabilities.
        const Answer servicesAnswer = a;
        a = SendOne(DeviceUrl(), ns::kDevice, "GetCapabilities",
                    "<tds:GetCapabilities xmlns:tds=\"" + std::string(ns::kDevice) +
                        "\"><tds:Category>All</tds:Category></tds:GetCapabilities>",
                    true);
        if (a.error) return TransportFailure(a.http, DeviceUrl());
        if (a.refused()) return ReplyFailure(a, "GetCapabilities");
        if (auto found = ParseCapabilities(a.http.body)) {
            services.media1 = found->media1;
            if (services.ptz.empty()) services.ptz = found->ptz;
        }
        if (!services.media1.empty()) return 0;
        if (a.soap.isFault) return ReplyFailure(a, "GetCapabilities");
        if (servicesAnswer.soap.isFault) return ReplyFailure(servicesAnswer, "GetServices");
        return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device names no media service");
    }

    // Where to reach an advertised service, best first. Credentials go only to the host the caller
    // named: a service on another host is looked for on the caller's host, at its advertised scheme,
    // port and path, then at the caller's scheme and port. An address that is not http or https is
    // taken for its path. A caller who asked over https is never answered in clear: a service
    // advertised at http is tried at its path over the caller's https host and port only.
    std::vector<std::string> Candidates(const std::string& advertised) const {
        std::vector<std::string> out;
        auto add = [&](const std::string& u) {
            if (std::find(out.begin(), out.end(), u) == out.end()) out.push_back(u);
        };
        const auto url = ParseUrl(advertised);
        if (!url) {
            add(DeviceUrl());
            return out;
        }
        if (IsHttp(*url) && !OnlyInClear(advertised)) {
            Url onOurHost = *url;
            onOurHost.host = m_base->host;
            add(Origin(onOurHost) + url->pathAndQuery);
        }
        add(Origin(*m_base) + url->pathAndQuery);
        return out;
    }

    // An http service of a device the caller reached over https.
    bool OnlyInClear(const std::string& advertised) const {
        const auto url = ParseUrl(advertised);
        return url && url->scheme == "http" && m_base->scheme == "https";
    }

    bool ElsewhereThanOurHost(const std::string& advertised) const {
        const auto url = ParseUrl(advertised);
        return url && IsHttp(*url) && ::strcasecmp(url->host.c_str(), m_base->host.c_str()) != 0;
    }

    // GetProfiles at the first place where the media service answers; `mediaUrl` becomes that place.
    int ReadProfiles(const std::string& advertised, const std::string& space, const std::string& request,
                     std::string& mediaUrl, std::vector<Profile>& profiles) {
        Answer a;
        for (const std::string& candidate : Candidates(advertised)) {
            mediaUrl = candidate;
            a = SendOne(mediaUrl, space, "GetProfiles", request, true);
            if (a.error == 0 || a.http.connected) break;
        }
        if (OnlyInClear(advertised) && (a.error || (!a.soap.isSoap && !a.refused()))) {
            return Fail(ONVIF_ERR_SERVICE_WITHOUT_TLS,
                        "the device offered its media service only without TLS (" + Shortened(advertised) +
                            "), and it does not answer over https on " + HostPort(DeviceUrl()) +
                            "; it was not used in clear");
        }
        if (a.error) {
            if (!a.http.connected && ElsewhereThanOurHost(advertised)) {
                return Fail(ONVIF_ERR_SERVICE_ELSEWHERE,
                            "the device pointed to its media service on another host (" +
                                HostPort(advertised) + "), and it does not answer on " + m_base->host);
            }
            return TransportFailure(a.http, mediaUrl);
        }
        const auto parsed = ParseProfiles(a.http.body);
        if (!parsed) return ReplyFailure(a, "GetProfiles");
        if (parsed->empty()) return Fail(ONVIF_ERR_NO_PROFILES, "the device has no media profiles");
        profiles = VideoProfilesBySource(*parsed);
        if (profiles.empty()) {
            return Fail(ONVIF_ERR_NO_PROFILES, "the device has no video profile (none of its " +
                                                   std::to_string(parsed->size()) +
                                                   " media profiles has a video encoder)");
        }
        return 0;
    }

    int Exchange(std::vector<StreamItem>& items) {
        if (!m_base || !IsHttp(*m_base)) {
            return Fail(ONVIF_ERR_UNSUPPORTED_ADDRESS,
                        "unsupported address: only http and https device addresses are used");
        }
        m_deviceUrl = Origin(*m_base) + m_base->pathAndQuery;

        Services services;
        if (int rc = Discover(services); rc < 0) return rc;
        const MediaService media(services);
        std::string mediaUrl;
        std::vector<Profile> profiles;
        if (int rc = ReadProfiles(media.address, media.space, media.GetProfiles(), mediaUrl, profiles);
            rc < 0) {
            return rc;
        }
        const auto answers = Send(profiles.size(), [&](std::size_t i) {
            return Request(mediaUrl, media.space, "GetStreamUri", media.GetStreamUri(profiles[i].token),
                           true);
        });
        return CollectStreamAddresses(answers, profiles, mediaUrl, services.ptz, items);
    }

    // Media 1 when the device offers it (some firmwares answer Media 2 wrongly), else Media 2.
    struct MediaService {
        explicit MediaService(const Services& services)
            : media2(services.media1.empty()),
              address(media2 ? services.media2 : services.media1),
              space(media2 ? ns::kMedia2 : ns::kMedia1),
              declare(std::string("xmlns:") + (media2 ? "tr2" : "trt") + "=\"" + space + "\"") {}

        std::string GetProfiles() const {
            return media2 ? "<tr2:GetProfiles " + declare + "><tr2:Type>All</tr2:Type></tr2:GetProfiles>"
                          : "<trt:GetProfiles " + declare + "/>";
        }
        std::string GetStreamUri(const std::string& profileToken) const {
            const std::string prefix = media2 ? "tr2" : "trt";
            const std::string token =
                "<" + prefix + ":ProfileToken>" + XmlEscape(profileToken) + "</" + prefix + ":ProfileToken>";
            return media2 ? "<tr2:GetStreamUri " + declare + "><tr2:Protocol>RTSP</tr2:Protocol>" + token +
                                "</tr2:GetStreamUri>"
                          : "<trt:GetStreamUri " + declare + " xmlns:tt=\"" + ns::kSchema + "\">" +
                                kMedia1Setup + token + "</trt:GetStreamUri>";
        }

        bool media2;
        std::string address;  // as the device advertised it
        std::string space;
        std::string declare;
    };

    // Every address must have been answered. Only the device's own fault for a profile (one without
    // video, say) leaves that item's address empty.
    int CollectStreamAddresses(const std::vector<Answer>& answers, const std::vector<Profile>& profiles,
                               const std::string& mediaUrl, const std::string& ptz,
                               std::vector<StreamItem>& items) {
        const Answer* fault = nullptr;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const Answer& s = answers[i];
            if (s.error) return TransportFailure(s.http, mediaUrl);
            std::string uri;
            if (auto parsed = ParseStreamUri(s.http.body)) {
                uri = *parsed;
            } else if (s.soap.isFault && !s.refused()) {
                if (!fault) fault = &s;
            } else {
                return ReplyFailure(s, "GetStreamUri");
            }
            const Profile& p = profiles[i];
            items.push_back(
                {p.name, p.token, uri, ptz, p.videoSource, EncodingName(p.encoding), p.width, p.height});
        }
        if (fault &&
            std::all_of(items.begin(), items.end(), [](const StreamItem& it) { return it.uri.empty(); })) {
            return ReplyFailure(*fault, "GetStreamUri");
        }
        return static_cast<int>(items.size());
    }

    std::string m_uri;
    std::string m_user;
    std::string m_password;
    std::optional<Url> m_base;
    std::string m_deviceUrl;
    HttpSession m_http;
    long m_clockOffset = 0;
    std::string m_detail;
};

}  // namespace

CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password) {
    return Call(uri, user, password).Run();
}

std::string ResultDocument(const std::vector<StreamItem>& items, std::size_t limit, std::size_t* written) {
    static const std::string kOpen = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Onvif_GetStreamUri>";
    static const std::string kClose = "</Onvif_GetStreamUri>";
    std::string doc = kOpen;
    std::size_t count = 0;
    for (const auto& item : items) {
        std::string entry = "<item><Name>" + XmlEscape(item.name) + "</Name><Token>" + XmlEscape(item.token) +
                            "</Token><Uri>" + XmlEscape(item.uri) + "</Uri><UriPTZ>" +
                            XmlEscape(item.uriPtz) + "</UriPTZ>";
        // What the stream carries, after the elements every reader knows.
        if (!item.source.empty()) entry += "<Source>" + XmlEscape(item.source) + "</Source>";
        if (!item.encoding.empty()) entry += "<Encoding>" + XmlEscape(item.encoding) + "</Encoding>";
        if (item.width > 0 && item.height > 0) {
            entry += "<Width>" + std::to_string(item.width) + "</Width><Height>" +
                     std::to_string(item.height) + "</Height>";
        }
        entry += "</item>";
        if (doc.size() + entry.size() + kClose.size() > limit) break;
        doc += entry;
        ++count;
    }
    if (written) *written = count;
    return doc + kClose;
}

}  // namespace onvifc

namespace {
// The last failure on this thread, in words, for Onvif_ErrorText.
thread_local int t_lastCode = 0;
thread_local std::string t_lastText;

int Remember(int code, std::string text) {
    t_lastCode = code;
    t_lastText = std::move(text);
    return code;
}
}  // namespace

extern "C" int Onvif_GetStreamUri(char* buf, int size, const char* uri, const char* user,
                                  const char* password) {
    if (!buf || size <= 0 || !uri || !user || !password) return Remember(ONVIF_ERR_INVALID_ARGUMENT, {});
    try {
        const onvifc::CallResult result = onvifc::GetStreamUris(uri, user, password);
        if (result.code < 0) return Remember(result.code, result.detail);
        // As many whole items as fit, in profile order; a recorder's hundreds of channels need not fit a
        // small buffer for its first streams to be read.
        std::size_t fitted = 0;
        const std::string doc =
            onvifc::ResultDocument(result.items, static_cast<std::size_t>(size) - 1, &fitted);
        if (doc.size() + 1 > static_cast<std::size_t>(size) || (fitted == 0 && !result.items.empty())) {
            return Remember(ONVIF_ERR_RESULT_TOO_LARGE, {});
        }
        std::memcpy(buf, doc.c_str(), doc.size() + 1);
        return Remember(static_cast<int>(fitted), {});
    } catch (...) {
        // Nothing may cross the C boundary; running out of memory is the only thing that throws here.
        return Remember(ONVIF_ERR_UNEXPECTED_REPLY, "out of memory");
    }
}

extern "C" int Onvif_CheckStreams(const char* const* uris, int count, const char* deviceUri, const char* user,
                                  const char* password, OnvifStreamCheck* results) {
    if (!uris || count < 0 || count > 100000 || !deviceUri || !user || !password || (count > 0 && !results))
        return ONVIF_ERR_INVALID_ARGUMENT;
    for (int i = 0; i < count; ++i) {
        if (!uris[i]) return ONVIF_ERR_INVALID_ARGUMENT;
    }
    try {
        const std::vector<std::string> list(uris, uris + count);
        const auto checks = onvifc::CheckStreams(list, deviceUri, user, password);
        int playing = 0;
        for (int i = 0; i < count; ++i) {
            const onvifc::StreamCheck& c = checks[static_cast<std::size_t>(i)];
            OnvifStreamCheck& out = results[i];
            std::memset(&out, 0, sizeof out);
            out.state = static_cast<int>(c.state);
            std::snprintf(out.encoding, sizeof out.encoding, "%s", c.encoding.c_str());
            out.width = c.width;
            out.height = c.height;
            std::snprintf(out.detail, sizeof out.detail, "%s", c.detail.c_str());
            if (c.state == onvifc::StreamState::Plays) ++playing;
        }
        return playing;
    } catch (...) {
        return ONVIF_ERR_UNEXPECTED_REPLY;  // out of memory
    }
}

extern "C" const char* Onvif_StreamStateName(int state) {
    if (state < 0 || state > ONVIF_STREAM_BAD_ANSWER) return "not-checked";
    return onvifc::StreamStateName(static_cast<onvifc::StreamState>(state));
}

extern "C" const char* Onvif_ErrorText(int code) {
    if (code < 0 && code == t_lastCode && !t_lastText.empty()) return t_lastText.c_str();
    switch (code) {
        case ONVIF_ERR_INVALID_ARGUMENT:
            return "invalid argument";
        case ONVIF_ERR_UNSUPPORTED_ADDRESS:
            return "unsupported address: only http and https device addresses are used";
        case ONVIF_ERR_CANNOT_CONNECT:
            return "cannot connect to the device";
        case ONVIF_ERR_TIMED_OUT:
            return "the device did not answer in time";
        case ONVIF_ERR_NOT_AUTHORIZED:
            return "credentials refused by the device";
        case ONVIF_ERR_UNEXPECTED_REPLY:
            return "the reply is not SOAP: not an ONVIF device, or an unexpected reply";
        case ONVIF_ERR_NO_PROFILES:
            return "the device has no media profiles";
        case ONVIF_ERR_RESULT_TOO_LARGE:
            return "the result is too large for the buffer";
        case ONVIF_ERR_CERTIFICATE_REFUSED:
            return "the device's certificate was refused";
        case ONVIF_ERR_DEVICE_FAULT:
            return "the device answered with a fault";
        case ONVIF_ERR_REPLY_CUT_SHORT:
            return "the device's reply was cut short";
        case ONVIF_ERR_SERVICE_ELSEWHERE:
            return "the device pointed to a service on another host, which was not used";
        case ONVIF_ERR_SERVICE_WITHOUT_TLS:
            return "the device offered its media service only without TLS, which was not used";
        default:
            return code >= 0 ? "success" : "unknown error";
    }
}

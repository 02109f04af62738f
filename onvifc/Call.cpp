#include "Call.h"

#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>

#include "Crypto.h"
#include "DeviceService.h"
#include "HttpSession.h"
#include "MediaService.h"
#include "Soap.h"
#include "Url.h"
#include "onvifc.h"

namespace onvifc {

namespace {

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

// The whole exchange with one device, step by step: its clock and services, the media service's
// profiles, their stream addresses; and why it failed, in words, when it did.
class Call {
public:
    Call(const std::string& uri, std::string user, std::string password, bool inventory = false)
        : m_uri(uri),
          m_user(std::move(user)),
          m_password(std::move(password)),
          m_base(ParseUrl(uri)),
          m_deadline(Clock::now() + std::chrono::seconds(kCallSeconds)),
          m_http(m_deadline, Credentials().first, Credentials().second),
          m_inventory(inventory) {}

    CallResult Run() {
        CallResult result;
        result.code = Exchange(result.items, result.inventory);
        result.withInventory = m_inventory;
        if (result.code < 0) {
            result.items.clear();
            result.inventory = {};
            result.detail = m_detail;
        }
        result.stats = m_http.Counts();
        return result;
    }

    SnapshotResult RunSnapshot() {
        SnapshotResult result;
        result.code = Snapshot(result.jpeg);
        if (result.code < 0) {
            result.jpeg.clear();
            result.detail = m_detail;
        }
        result.stats = m_http.Counts();
        result.stats.requests += m_pictureCounts.requests;
        result.stats.connections += m_pictureCounts.connections;
        result.stats.rounds += m_pictureCounts.rounds;
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
    // as they stand. No user unless a password comes with it: a user name alone is no login, and an empty
    // password is not tried (cameras count failed logins).
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

    int TransportFailure(const HttpResult& r, const std::string& url, std::size_t bodyLimit = kMaxBody) {
        const std::string where = " (" + HostPort(url) + ")";
        switch (r.transport) {
            case Transport::HeadersTooLarge:
                return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device's reply headers are too large (over " +
                                                            std::to_string(kMaxHeaderBytes / 1024) + " KiB)" +
                                                            where);
            case Transport::TimedOut:
                if (!r.connected)
                    return Fail(ONVIF_ERR_TIMED_OUT, "no connection to the device in time" + where);
                return Fail(ONVIF_ERR_TIMED_OUT,
                            "the device did not answer in time" + where +
                                (r.budgetSpent ? ": its answers are too slow for the call's " +
                                                     std::to_string(kCallSeconds) + " s"
                                               : std::string()));
            case Transport::Unsupported:
                return Fail(ONVIF_ERR_UNSUPPORTED_ADDRESS, "unsupported address: " + Shortened(url));
            case Transport::HostNotFound:
                return Fail(ONVIF_ERR_CANNOT_CONNECT,
                            "cannot connect to the device: host name not found" + where);
            case Transport::Refused:
                return Fail(ONVIF_ERR_CANNOT_CONNECT,
                            "cannot connect to the device: connection refused" + where);
            case Transport::NoRoute:
                return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device: no route to it" + where);
            case Transport::NoConnection:
                return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device" + where);
            case Transport::ClosedUnanswered:
                return Fail(ONVIF_ERR_CANNOT_CONNECT,
                            "the device closed the connection without an answer" + where);
            case Transport::CertificateRefused:
                return Fail(ONVIF_ERR_CERTIFICATE_REFUSED,
                            "the device's certificate was refused" + where + ": " + Shortened(r.detail));
            case Transport::TlsFailed:
                return Fail(ONVIF_ERR_CANNOT_CONNECT, "TLS handshake with the device failed" + where);
            case Transport::CutShort:
                return Fail(ONVIF_ERR_REPLY_CUT_SHORT, "the device's reply was cut short" + where);
            case Transport::BodyTooLarge:
                return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device's reply is larger than " +
                                                            std::to_string(bodyLimit >> 20) + " MiB" + where);
            case Transport::NotHttp:
                return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the reply is not HTTP" + where);
            case Transport::Ok:
            case Transport::Failed:
                break;
        }
        return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device" + where +
                                                  (r.detail.empty() ? "" : ": " + Shortened(r.detail)));
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
            // Cameras that ship with ONVIF off, or with an ONVIF user list apart from the web one, refuse
            // every login until the installer sees to it in the camera's web page.
            return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                        Credentials().first.empty()
                            ? "credentials refused by the device: it wants a user name"
                            : "credentials refused by the device (some cameras need ONVIF turned on, or an "
                              "ONVIF user of its own, in their web page)");
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
        if (a.http.transport != Transport::Ok) {
            a.error = -1;
            return a;
        }
        a.soap = ClassifyReply(a.http.body);
        return a;
    }

    std::vector<Answer> Send(std::size_t count, const HttpSession::Builder& build) {
        std::vector<Answer> answers;
        for (auto& r : m_http.SendAll(count, build)) answers.push_back(Read(std::move(r)));
        return answers;
    }

    Answer SendOne(const std::string& url, const std::string& space, const char* operation,
                   const std::string& payload, bool withCredentials) {
        return Send(1, [&](std::size_t) { return Request(url, space, operation, payload, withCredentials); })
            .front();
    }

    const std::string& DeviceUrl() const { return m_deviceUrl; }

    // The device clock, then the services; both are asked for at once without credentials, as ONVIF
    // allows, and asked again with them where the device wants them.
    int Discover(Services& services) {
        auto first = Send(2, [&](std::size_t i) {
            return i == 0 ? Request(DeviceUrl(), ns::kDevice, "GetSystemDateAndTime",
                                    GetSystemDateAndTimeRequest(), false)
                          : Request(DeviceUrl(), ns::kDevice, "GetServices", GetServicesRequest(), false);
        });
        Answer time = first[0];
        for (const Answer& a : first) NoteCredentials(a, false);
        if (time.error) return TransportFailure(time.http, DeviceUrl());
        // A device that refused our Digest answer has refused the password: it is not sent again, with a
        // token or otherwise (cameras lock accounts after a few failed logins).
        if (time.refused()) {
            if (Credentials().first.empty() || time.http.digestRefused)
                return ReplyFailure(time, "GetSystemDateAndTime");
            time = SendOne(DeviceUrl(), ns::kDevice, "GetSystemDateAndTime", GetSystemDateAndTimeRequest(),
                           true);
            NoteCredentials(time, true);
            if (time.error) return TransportFailure(time.http, DeviceUrl());
            if (time.refused()) return ReplyFailure(time, "GetSystemDateAndTime");
        }
        if (!time.soap.isSoap) return ReplyFailure(time, "GetSystemDateAndTime");
        if (const auto deviceTime = ParseSystemDateAndTime(time.http.body)) {
            m_clockOffset = *deviceTime - std::time(nullptr);
            m_clockKnown = true;
        }  // a device that won't tell its time is used with ours

        Answer a = first[1];
        if (a.error == 0 && a.refused() && !a.http.digestRefused && !Credentials().first.empty()) {
            a = SendOne(DeviceUrl(), ns::kDevice, "GetServices", GetServicesRequest(), true);
            NoteCredentials(a, true);
        }
        if (a.error) return TransportFailure(a.http, DeviceUrl());
        if (a.refused()) return ReplyFailure(a, "GetServices");
        if (auto found = ParseServices(a.http.body)) services = *found;
        if (!services.media1.empty() || !services.media2.empty()) return 0;

        // Older devices know only GetCapabilities.
        const Answer servicesAnswer = a;
        a = SendOne(DeviceUrl(), ns::kDevice, "GetCapabilities", GetCapabilitiesRequest(), true);
        NoteCredentials(a, true);
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
        return url && IsHttp(*url) && !SameHost(url->host, m_base->host);
    }

    // Whether the device has taken the credentials (or none are given): from then on requests with them
    // risk no failed login of their own.
    void NoteCredentials(const Answer& a, bool withToken) {
        if (a.error == 0 && a.soap.isSoap && !a.soap.isFault && !a.refused() &&
            (withToken || a.http.digestAnswered))
            m_credentialsTaken = true;
    }

    // GetProfiles at the first place where the media service answers; `mediaUrl` becomes that place. The
    // inventory's requests go beside the first GetProfiles when the device has already taken the
    // credentials.
    int ReadProfiles(const std::string& advertised, const std::string& space, const std::string& request,
                     std::string& mediaUrl, std::vector<Profile>& profiles) {
        Answer a;
        for (const std::string& candidate : Candidates(advertised)) {
            mediaUrl = candidate;
            const bool inventory =
                m_inventory && !m_inventoryAnswers && (m_credentialsTaken || Credentials().first.empty());
            auto answers = Send(1 + (inventory ? kInventoryRequests : 0), [&](std::size_t i) {
                return i == 0 ? Request(mediaUrl, space, "GetProfiles", request, true)
                              : InventoryRequest(i - 1);
            });
            a = answers.front();
            if (inventory) m_inventoryAnswers.emplace(answers.begin() + 1, answers.end());
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

    // The media service and its video profiles, where both calls begin.
    struct Media {
        MediaService service;
        std::string url;  // where it answered
        std::vector<Profile> profiles;
        std::string ptz;
    };

    // A media service that failed for its own reasons (a fault, a broken or empty answer, no answer) gives
    // way to the next one the device offers; a refusal of the credentials never does, as another try
    // would be another failed login.
    static bool GivesWay(int code) {
        return code != ONVIF_ERR_NOT_AUTHORIZED && code != ONVIF_ERR_CERTIFICATE_REFUSED &&
               code != ONVIF_ERR_UNSUPPORTED_ADDRESS;
    }

    // The device's services, then the video profiles of the first media service that gives them (Media 2
    // first: only it tells H.265 from H.264). `rest` keeps the services not yet tried.
    int FindMedia(std::optional<Media>& found, std::vector<MediaService>& rest) {
        if (!m_base || !IsHttp(*m_base)) {
            return Fail(ONVIF_ERR_UNSUPPORTED_ADDRESS,
                        "unsupported address: only http and https device addresses are used");
        }
        m_deviceUrl = Origin(*m_base) + m_base->pathAndQuery;

        Services services;
        if (int rc = Discover(services); rc < 0) return rc;
        m_ptz = services.ptz;
        rest = MediaServicesInOrder(services);
        return NextMedia(found, rest);
    }

    int NextMedia(std::optional<Media>& found, std::vector<MediaService>& rest) {
        int rc = Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device names no media service");
        while (!rest.empty()) {
            Media media{rest.front(), {}, {}, m_ptz};
            rest.erase(rest.begin());
            rc = ReadProfiles(media.service.address, media.service.space, media.service.GetProfilesRequest(),
                              media.url, media.profiles);
            if (rc >= 0) {
                found = std::move(media);
                return 0;
            }
            if (!GivesWay(rc)) return rc;
        }
        return rc;
    }

    // The inventory's requests, sent beside the stream addresses: the device has taken the credentials by
    // then (GetProfiles needed them), and a device that does not know one leaves its fields empty.
    static constexpr std::size_t kInventoryRequests = 3;
    HttpRequest InventoryRequest(std::size_t i) const {
        if (i == 0)
            return Request(DeviceUrl(), ns::kDevice, "GetDeviceInformation", GetDeviceInformationRequest(),
                           true);
        if (i == 1)
            return Request(DeviceUrl(), ns::kDevice, "GetNetworkInterfaces", GetNetworkInterfacesRequest(),
                           true);
        return Request(DeviceUrl(), ns::kDevice, "GetNTP", GetNtpRequest(), true);
    }

    void ReadInventory(const std::vector<Answer>& answers, Inventory& inventory) const {
        const auto body = [&](std::size_t i) -> std::string {
            return answers[i].error == 0 && !answers[i].soap.isFault ? answers[i].http.body : std::string();
        };
        if (const auto info = ParseDeviceInformation(body(0))) {
            inventory.manufacturer = info->manufacturer;
            inventory.model = info->model;
            inventory.firmware = info->firmware;
            inventory.serial = info->serial;
            inventory.hardwareId = info->hardwareId;
        }
        if (const auto mac = ParseMacAddress(body(1), m_base->host)) inventory.mac = *mac;
        if (const auto ntp = ParseNtp(body(2))) inventory.ntp = *ntp;
        inventory.clockKnown = m_clockKnown;
        inventory.clockOffsetSeconds = m_clockOffset;
        inventory.open = Credentials().first.empty();
    }

    int Exchange(std::vector<StreamItem>& items, Inventory& inventory) {
        std::optional<Media> media;
        std::vector<MediaService> rest;
        if (int rc = FindMedia(media, rest); rc < 0) return rc;
        bool inventoryAsked = !m_inventory;
        if (m_inventoryAnswers) {
            ReadInventory(*m_inventoryAnswers, inventory);
            inventoryAsked = true;
        }
        for (;;) {
            const std::size_t extra = inventoryAsked ? 0 : kInventoryRequests;
            auto answers = Send(media->profiles.size() + extra, [&](std::size_t i) {
                if (i >= media->profiles.size()) return InventoryRequest(i - media->profiles.size());
                return Request(media->url, media->service.space, "GetStreamUri",
                               media->service.GetStreamUriRequest(media->profiles[i].token), true);
            });
            if (extra) {
                const std::vector<Answer> asked(answers.end() - static_cast<std::ptrdiff_t>(extra),
                                                answers.end());
                answers.resize(media->profiles.size());
                ReadInventory(asked, inventory);
                inventoryAsked = true;
            }
            items.clear();
            const int rc = CollectStreamAddresses(answers, media->profiles, media->url, media->ptz, items);
            // A service that faults every stream address: the other one, if the device has it.
            if (rc != ONVIF_ERR_DEVICE_FAULT || rest.empty()) return rc;
            const std::string detail = m_detail;
            if (NextMedia(media, rest) < 0) return Fail(rc, detail);
        }
    }

    // The picture of the first video profile, the one whose stream is the main stream.
    int Snapshot(std::string& jpeg) {
        std::optional<Media> media;
        std::vector<MediaService> rest;
        if (int rc = FindMedia(media, rest); rc < 0) return rc;
        const Answer a = SendOne(media->url, media->service.space, "GetSnapshotUri",
                                 media->service.GetSnapshotUriRequest(media->profiles.front().token), true);
        if (a.error) return TransportFailure(a.http, media->url);
        const auto address = ParseSnapshotUri(a.http.body);
        if (!address && a.soap.isFault && a.soap.notSupported && !a.refused()) {
            return Fail(ONVIF_ERR_NO_SNAPSHOT, "the device does not serve snapshots (GetSnapshotUri: " +
                                                   Shortened(a.soap.faultText) + ")");
        }
        if (!address) return ReplyFailure(a, "GetSnapshotUri");
        if (address->empty()) return Fail(ONVIF_ERR_NO_SNAPSHOT, "the device gave an empty snapshot address");
        return FetchPicture(*address, jpeg);
    }

    // GET the picture where the device said, on the caller's host (as for the media service), within
    // its own bounds. Whatever the Content-Type says (cameras send octet-stream or text/plain), only a
    // JPEG is a picture.
    int FetchPicture(const std::string& advertised, std::string& jpeg) {
        const auto url = ParseUrl(advertised);
        if (!url || !IsHttp(*url)) {
            return Fail(ONVIF_ERR_UNSUPPORTED_ADDRESS,
                        "the device's snapshot address is not http or https: " + Shortened(advertised));
        }
        // A session of its own: the picture often comes from the camera's web server, whose Digest realm
        // and nonces are not those of its SOAP services.
        HttpSession pictures(m_deadline, Credentials().first, Credentials().second);
        Answer a;
        std::string where;
        for (const std::string& candidate : Candidates(advertised)) {
            where = candidate;
            HttpRequest request{candidate, {}, {}, true, kMaxPicture, kPictureTimeout};
            a.http = std::move(pictures.SendAll(1, [&](std::size_t) { return request; }).front());
            a.error = a.http.transport == Transport::Ok ? 0 : -1;
            if (a.error == 0 || a.http.connected) break;
        }
        m_pictureCounts = pictures.Counts();
        if (OnlyInClear(advertised) && (a.error || (a.http.status != 200 && !a.refused()))) {
            return Fail(ONVIF_ERR_SERVICE_WITHOUT_TLS,
                        "the device offered its snapshot only without TLS (" + Shortened(advertised) +
                            "), and it does not serve it over https on " + HostPort(DeviceUrl()) +
                            "; it was not fetched in clear");
        }
        if (a.error) {
            if (!a.http.connected && ElsewhereThanOurHost(advertised)) {
                return Fail(ONVIF_ERR_SERVICE_ELSEWHERE,
                            "the device pointed to its snapshot on another host (" + HostPort(advertised) +
                                "), and it is not served on " + m_base->host);
            }
            return TransportFailure(a.http, where, kMaxPicture);
        }
        if (a.refused()) return ReplyFailure(a, "the snapshot request");
        if (a.http.status != 200) {
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device answered the snapshot request with HTTP " +
                                                        std::to_string(a.http.status) + " (" +
                                                        HostPort(where) + ")");
        }
        const std::string& body = a.http.body;
        if (body.size() < 3 || static_cast<unsigned char>(body[0]) != 0xFF ||
            static_cast<unsigned char>(body[1]) != 0xD8 || static_cast<unsigned char>(body[2]) != 0xFF) {
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY,
                        "the snapshot is not a JPEG picture (" + std::to_string(body.size()) + " bytes" +
                            (a.http.contentType.empty() ? "" : " of " + Shortened(a.http.contentType)) + ")");
        }
        // A whole picture ends with its end marker; servers pad some with white space or zero bytes. One
        // whose server stopped half way (out of buffer, or under a Content-Length of what it had) has none.
        std::size_t end = body.size();
        while (end > 3 && (body[end - 1] == '\0' || body[end - 1] == ' ' || body[end - 1] == '\r' ||
                           body[end - 1] == '\n' || body[end - 1] == '\t'))
            --end;
        if (static_cast<unsigned char>(body[end - 2]) != 0xFF ||
            static_cast<unsigned char>(body[end - 1]) != 0xD9) {
            return Fail(ONVIF_ERR_REPLY_CUT_SHORT, "the picture is cut short (" +
                                                       std::to_string(body.size()) +
                                                       " bytes without the end of a JPEG)");
        }
        jpeg = body;
        return static_cast<int>(jpeg.size());
    }

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
    Clock::time_point m_deadline;
    HttpSession m_http;
    bool m_inventory = false;
    SessionCounts m_pictureCounts;
    long m_clockOffset = 0;
    bool m_clockKnown = false;
    bool m_credentialsTaken = false;
    std::optional<std::vector<Answer>> m_inventoryAnswers;
    std::string m_ptz;
    std::string m_detail;
};

}  // namespace

CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password,
                         bool inventory) {
    return Call(uri, user, password, inventory).Run();
}

SnapshotResult GetSnapshot(const std::string& uri, const std::string& user, const std::string& password) {
    return Call(uri, user, password).RunSnapshot();
}

}  // namespace onvifc

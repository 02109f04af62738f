#pragma once

// The call sequence behind Onvif_GetStreamUri and Onvif_GetSnapshot, shared by the units that make it up.
#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>

#include "Call.h"
#include "Crypto.h"
#include "DeviceService.h"
#include "HttpSession.h"
#include "MediaService.h"
#include "Soap.h"
#include "Url.h"
#include "onvifc.h"

namespace onvifc::detail {

// A device's words, cut to a line.
std::string Shortened(std::string text);
// A body that sets out to be XML: a declaration or an element first.
bool LooksLikeXml(const std::string& body);

// The whole exchange with one device, step by step: its clock and services, the media service's
// profiles, their stream addresses; and why it failed, in words, when it did. Its steps are in Call.cpp, the
// media service's in CallMedia.cpp, the reading of failures into codes and texts in CallFailures.cpp, and the
// picture's fetch in CallPicture.cpp.
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

    CallResult Run();

    SnapshotResult RunSnapshot();

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
    std::pair<std::string, std::string> Credentials() const;
    // The user name given without a password, if that is what was given.
    std::string UserWithoutPassword() const;

    int Fail(int code, std::string detail);

    int TransportFailure(const HttpResult& r, const std::string& url, std::size_t bodyLimit = kMaxBody);

    // Why a reply that is not the expected response fails the call.
    int ReplyFailure(const Answer& a, const char* operation);

    std::optional<UsernameToken> Token(bool withCredentials) const;

    HttpRequest Request(const std::string& url, const std::string& space, const char* operation,
                        const std::string& payload, bool withCredentials) const;

    Answer Read(HttpResult http) const;

    std::vector<Answer> Send(std::size_t count, const HttpSession::Builder& build);

    Answer SendOne(const std::string& url, const std::string& space, const char* operation,
                   const std::string& payload, bool withCredentials);

    const std::string& DeviceUrl() const { return m_deviceUrl; }

    // The device clock, then the services; both are asked for at once without credentials, as ONVIF
    // allows, and asked again with them where the device wants them.
    int Discover(Services& services);

    // Where to reach an advertised service, best first. Credentials go only to the host the caller
    // named: a service on another host is looked for on the caller's host, at its advertised scheme,
    // port and path, then at the caller's scheme and port. An address that is not http or https is
    // taken for its path. A caller who asked over https is never answered in clear: a service
    // advertised at http is tried at its path over the caller's https host and port only.
    std::vector<std::string> Candidates(const std::string& advertised) const;

    // An http service of a device the caller reached over https.
    bool OnlyInClear(const std::string& advertised) const;

    bool ElsewhereThanOurHost(const std::string& advertised) const;

    // Whether the device has taken the credentials (or none are given): from then on requests with them
    // risk no failed login of their own.
    void NoteCredentials(const Answer& a, bool withToken);

    // GetProfiles at the first place where the media service answers; `mediaUrl` becomes that place. The
    // inventory's requests go beside the first GetProfiles when the device has already taken the
    // credentials.
    int ReadProfiles(const std::string& advertised, const std::string& space, const std::string& request,
                     std::string& mediaUrl, std::vector<Profile>& profiles);

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
    static bool GivesWay(int code);

    // The device's services, then the video profiles of the first media service that gives them (Media 2
    // first: only it tells H.265 from H.264). `rest` keeps the services not yet tried.
    int FindMedia(std::optional<Media>& found, std::vector<MediaService>& rest);

    int NextMedia(std::optional<Media>& found, std::vector<MediaService>& rest);

    // The inventory's requests, sent beside the stream addresses: the device has taken the credentials by
    // then (GetProfiles needed them), and a device that does not know one leaves its fields empty.
    static constexpr std::size_t kInventoryRequests = 3;
    HttpRequest InventoryRequest(std::size_t i) const;

    void ReadInventory(const std::vector<Answer>& answers, Inventory& inventory) const;

    int Exchange(std::vector<StreamItem>& items, Inventory& inventory);

    // The picture of the first video profile, the one whose stream is the main stream.
    int Snapshot(std::string& jpeg);

    // GET the picture where the device said, on the caller's host (as for the media service), within
    // its own bounds. Whatever the Content-Type says (cameras send octet-stream or text/plain), only a
    // JPEG is a picture.
    int FetchPicture(const std::string& advertised, std::string& jpeg);

    // Every address must have been answered. Only the device's own fault for a profile (one without
    // video, say) leaves that item's address empty.
    int CollectStreamAddresses(const std::vector<Answer>& answers, const std::vector<Profile>& profiles,
                               const std::string& mediaUrl, const std::string& ptz,
                               std::vector<StreamItem>& items);

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

}  // namespace onvifc::detail

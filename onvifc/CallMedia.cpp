// The media service: which one is asked, its profiles, their stream addresses and the inventory beside them.
#include "CallSession.h"

namespace onvifc {

namespace detail {

int Call::ReadProfiles(const std::string& advertised, const std::string& space, const std::string& request,
                       std::string& mediaUrl, std::vector<Profile>& profiles) {
    Answer a;
    for (const std::string& candidate : Candidates(advertised)) {
        mediaUrl = candidate;
        const bool inventory =
            m_inventory && !m_inventoryAnswers && (m_credentialsTaken || Credentials().first.empty());
        auto answers = Send(1 + (inventory ? kInventoryRequests : 0), [&](std::size_t i) {
            return i == 0 ? Request(mediaUrl, space, "GetProfiles", request, true) : InventoryRequest(i - 1);
        });
        a = answers.front();
        if (inventory) m_inventoryAnswers.emplace(answers.begin() + 1, answers.end());
        if (a.error == 0 || a.http.connected) break;
    }
    if (OnlyInClear(advertised) && (a.error || (!a.soap.isSoap && !a.refused()))) {
        return Fail(ONVIF_ERR_SERVICE_WITHOUT_TLS, "the device offered its media service only without TLS (" +
                                                       Shortened(advertised) +
                                                       "), and it does not answer over https on " +
                                                       HostPort(DeviceUrl()) + "; it was not used in clear");
    }
    if (a.error) {
        if (!a.http.connected && ElsewhereThanOurHost(advertised)) {
            return Fail(ONVIF_ERR_SERVICE_ELSEWHERE,
                        "the device pointed to its media service on another host (" + HostPort(advertised) +
                            "), and it does not answer on " + m_base->host);
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

bool Call::GivesWay(int code) {
    return code != ONVIF_ERR_NOT_AUTHORIZED && code != ONVIF_ERR_CERTIFICATE_REFUSED &&
           code != ONVIF_ERR_UNSUPPORTED_ADDRESS;
}

int Call::FindMedia(std::optional<Media>& found, std::vector<MediaService>& rest) {
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

int Call::NextMedia(std::optional<Media>& found, std::vector<MediaService>& rest) {
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

HttpRequest Call::InventoryRequest(std::size_t i) const {
    if (i == 0)
        return Request(DeviceUrl(), ns::kDevice, "GetDeviceInformation", GetDeviceInformationRequest(), true);
    if (i == 1)
        return Request(DeviceUrl(), ns::kDevice, "GetNetworkInterfaces", GetNetworkInterfacesRequest(), true);
    return Request(DeviceUrl(), ns::kDevice, "GetNTP", GetNtpRequest(), true);
}

void Call::ReadInventory(const std::vector<Answer>& answers, Inventory& inventory) const {
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

int Call::CollectStreamAddresses(const std::vector<Answer>& answers, const std::vector<Profile>& profiles,
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

}  // namespace detail

}  // namespace onvifc

// The call sequence: the device clock and services, then the media service's profiles and addresses.
#include "CallSession.h"

namespace onvifc {

namespace detail {

CallResult Call::Run() {
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

std::pair<std::string, std::string> Call::Credentials() const {
    std::pair<std::string, std::string> given{m_user, m_password};
    if (m_user.empty() && m_password.empty() && m_base) given = {m_base->user, m_base->password};
    if (given.second.empty()) return {};
    return given;
}

std::string Call::UserWithoutPassword() const {
    if (m_user.empty() && m_password.empty() && m_base) return m_base->password.empty() ? m_base->user : "";
    return m_password.empty() ? m_user : "";
}

std::optional<UsernameToken> Call::Token(bool withCredentials) const {
    const std::string user = Credentials().first;
    if (!withCredentials || user.empty()) return std::nullopt;
    const std::string nonce = RandomBytes(16);
    const std::string created = FormatUtc(std::time(nullptr) + m_clockOffset);
    return UsernameToken{user, PasswordDigest(nonce, created, Credentials().second), Base64Encode(nonce),
                         created};
}

HttpRequest Call::Request(const std::string& url, const std::string& space, const char* operation,
                          const std::string& payload, bool withCredentials) const {
    return {url, space + "/" + operation, Envelope(payload, Token(withCredentials))};
}

Call::Answer Call::Read(HttpResult http) const {
    Answer a;
    a.http = std::move(http);
    if (a.http.transport != Transport::Ok) {
        a.error = -1;
        return a;
    }
    a.soap = ClassifyReply(a.http.body);
    return a;
}

std::vector<Call::Answer> Call::Send(std::size_t count, const HttpSession::Builder& build) {
    std::vector<Answer> answers;
    for (auto& r : m_http.SendAll(count, build)) answers.push_back(Read(std::move(r)));
    return answers;
}

Call::Answer Call::SendOne(const std::string& url, const std::string& space, const char* operation,
                           const std::string& payload, bool withCredentials) {
    return Send(1, [&](std::size_t) { return Request(url, space, operation, payload, withCredentials); })
        .front();
}

int Call::Discover(Services& services) {
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
        time = SendOne(DeviceUrl(), ns::kDevice, "GetSystemDateAndTime", GetSystemDateAndTimeRequest(), true);
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

std::vector<std::string> Call::Candidates(const std::string& advertised) const {
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

bool Call::OnlyInClear(const std::string& advertised) const {
    const auto url = ParseUrl(advertised);
    return url && url->scheme == "http" && m_base->scheme == "https";
}

bool Call::ElsewhereThanOurHost(const std::string& advertised) const {
    const auto url = ParseUrl(advertised);
    return url && IsHttp(*url) && !SameHost(url->host, m_base->host);
}

void Call::NoteCredentials(const Answer& a, bool withToken) {
    if (a.error == 0 && a.soap.isSoap && !a.soap.isFault && !a.refused() &&
        (withToken || a.http.digestAnswered))
        m_credentialsTaken = true;
}

int Call::Exchange(std::vector<StreamItem>& items, Inventory& inventory) {
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

}  // namespace detail

CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password,
                         bool inventory) {
    return detail::Call(uri, user, password, inventory).Run();
}

}  // namespace onvifc

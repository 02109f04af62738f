// A device's still picture: its snapshot address, and the picture fetched there.
#include "CallSession.h"

namespace onvifc {

namespace detail {

SnapshotResult Call::RunSnapshot() {
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

int Call::Snapshot(std::string& jpeg) {
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

int Call::FetchPicture(const std::string& advertised, std::string& jpeg) {
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
            return Fail(ONVIF_ERR_SERVICE_ELSEWHERE, "the device pointed to its snapshot on another host (" +
                                                         HostPort(advertised) +
                                                         "), and it is not served on " + m_base->host);
        }
        return TransportFailure(a.http, where, kMaxPicture);
    }
    if (a.refused()) return ReplyFailure(a, "the snapshot request");
    if (a.http.status != 200) {
        return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device answered the snapshot request with HTTP " +
                                                    std::to_string(a.http.status) + " (" + HostPort(where) +
                                                    ")");
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
        return Fail(ONVIF_ERR_REPLY_CUT_SHORT, "the picture is cut short (" + std::to_string(body.size()) +
                                                   " bytes without the end of a JPEG)");
    }
    jpeg = body;
    return static_cast<int>(jpeg.size());
}

}  // namespace detail

SnapshotResult GetSnapshot(const std::string& uri, const std::string& user, const std::string& password) {
    return detail::Call(uri, user, password).RunSnapshot();
}

}  // namespace onvifc

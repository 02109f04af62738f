#include "StreamRequest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <QByteArray>
#include <QUrl>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "onvifc.h"

namespace quorvi {

GetStreamUriFunction LibraryGetStreamUri() { return Onvif_GetStreamUri; }

QString EncodeUserInfo(const QString& text, bool isPassword) {
    // Unreserved characters and sub-delims stay; a password may also hold ':' (only the first one
    // separates the user name).
    const QByteArray kept = isPassword ? QByteArrayLiteral("!$&'()*+,;=:") : QByteArrayLiteral("!$&'()*+,;=");
    return QString::fromLatin1(QUrl::toPercentEncoding(text, kept));
}

QString ComposeStreamAddress(const ItemUri& item, const QString& user, const QString& password) {
    if (!item.hasText) return {};
    // A scheme and nothing after it names no stream.
    const auto schemeEnd = item.text.find("://");
    if (schemeEnd != std::string::npos && schemeEnd + 3 == item.text.size()) return {};
    if (user.isEmpty() || password.isEmpty()) return QString::fromLocal8Bit(item.text.c_str());
    if (item.text.size() < 7) return {};
    // The first seven bytes give way to "rtsp://" and the credentials, except after a longer scheme
    // (rtsps://), which is kept whole, so that the address keeps both its host and its TLS.
    std::string scheme = "rtsp://";
    std::string rest = item.text.substr(7);
    if (schemeEnd != std::string::npos && schemeEnd + 3 > 7) {
        scheme = item.text.substr(0, schemeEnd + 3);
        rest = item.text.substr(schemeEnd + 3);
    }
    // An address that already carries credentials gets ours instead of a second user part.
    const auto authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    const auto at = rest.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at != std::string::npos && at < authorityEnd) rest.erase(0, at + 1);
    return QString::fromLocal8Bit(scheme.c_str()) + EncodeUserInfo(user, false) + ':' +
           EncodeUserInfo(password, true) + '@' + QString::fromLocal8Bit(rest.c_str());
}

namespace {

bool Unreachable(const std::string& host) {
    if (host.empty() || host == "0.0.0.0") return true;
    std::string lower;
    for (const char c : host) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "localhost" || lower == "[::1]" || lower == "[::]") return true;
    in_addr a{};
    return ::inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string HostOf(const std::string& uri) {
    const auto schemeEnd = uri.find("://");
    if (schemeEnd == std::string::npos) return {};
    const std::size_t start = schemeEnd + 3;
    const std::size_t end = std::min(uri.find_first_of("/?#", start), uri.size());
    std::string authority = uri.substr(start, end - start);
    const auto at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') return authority.substr(0, authority.find(']') + 1);
    return authority.substr(
        0, authority.rfind(':') == std::string::npos ? authority.size() : authority.rfind(':'));
}

}  // namespace

std::string ReplaceUnreachableHost(const std::string& uri, const std::string& deviceHost, bool& replaced) {
    replaced = false;
    const auto schemeEnd = uri.find("://");
    // A scheme and nothing after it names no stream, and stays so.
    if (schemeEnd == std::string::npos || schemeEnd + 3 == uri.size() || deviceHost.empty() ||
        Unreachable(deviceHost))
        return uri;
    const std::size_t start = schemeEnd + 3;
    const std::size_t end = std::min(uri.find_first_of("/?#", start), uri.size());
    const std::string authority = uri.substr(start, end - start);
    const auto at = authority.rfind('@');
    const std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
    std::size_t hostEnd = authority.size();
    if (hostStart < authority.size() && authority[hostStart] == '[') {
        hostEnd = std::min(authority.find(']', hostStart) + 1, authority.size());
    } else if (const auto colon = authority.find(':', hostStart); colon != std::string::npos) {
        hostEnd = colon;
    }
    const std::string host = authority.substr(hostStart, hostEnd - hostStart);
    if (!Unreachable(host) || host == deviceHost) return uri;
    replaced = true;
    return uri.substr(0, start) + authority.substr(0, hostStart) + deviceHost + authority.substr(hostEnd) +
           uri.substr(end);
}

std::string AddDeviceZone(const std::string& uri, const std::string& deviceHost) {
    const auto zone = deviceHost.find('%');
    if (deviceHost.size() < 3 || deviceHost.front() != '[' || zone == std::string::npos) return uri;
    const auto schemeEnd = uri.find("://");
    if (schemeEnd == std::string::npos) return uri;
    const std::size_t start = schemeEnd + 3;
    const std::size_t end = std::min(uri.find_first_of("/?#", start), uri.size());
    const std::string authority = uri.substr(start, end - start);
    const auto at = authority.rfind('@');
    const std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
    if (hostStart >= authority.size() || authority[hostStart] != '[') return uri;
    const std::size_t hostEnd = authority.find(']', hostStart);
    if (hostEnd == std::string::npos) return uri;
    const std::string host = authority.substr(hostStart + 1, hostEnd - hostStart - 1);
    in6_addr a{}, b{};
    if (host.find('%') != std::string::npos || ::inet_pton(AF_INET6, host.c_str(), &a) != 1 ||
        !IN6_IS_ADDR_LINKLOCAL(&a) ||
        ::inet_pton(AF_INET6, deviceHost.substr(1, zone - 1).c_str(), &b) != 1 ||
        std::memcmp(&a, &b, sizeof a) != 0)
        return uri;
    return uri.substr(0, start + hostStart + 1) + host +
           deviceHost.substr(zone, deviceHost.size() - 1 - zone) + uri.substr(start + hostEnd);
}

CheckStreamsFunction LibraryCheckStreams() {
    return [](const std::vector<std::string>& uris, const QString& deviceUri, const QString& user,
              const QString& password) {
        std::vector<const char*> list;
        for (const std::string& u : uris) list.push_back(u.c_str());
        std::vector<OnvifStreamCheck> raw(uris.size());
        const QByteArray device = deviceUri.toLocal8Bit();
        const QByteArray u = user.toLocal8Bit();
        const QByteArray p = password.toLocal8Bit();
        std::vector<StreamCheckResult> out(uris.size());
        if (Onvif_CheckStreams(list.data(), static_cast<int>(list.size()), device.constData(), u.constData(),
                               p.constData(), raw.data()) < 0) {
            for (auto& r : out) r.state = QStringLiteral("not-checked");
            return out;
        }
        for (std::size_t i = 0; i < raw.size(); ++i) {
            out[i].state = QString::fromLatin1(Onvif_StreamStateName(raw[i].state));
            out[i].encoding = QString::fromUtf8(raw[i].encoding);
            out[i].width = raw[i].width;
            out[i].height = raw[i].height;
            out[i].detail = QString::fromUtf8(raw[i].detail);
        }
        return out;
    };
}

std::vector<StreamCheckResult> CheckStreamAddresses(const StreamAddresses& streams, const QString& deviceUri,
                                                    const std::vector<std::size_t>& which,
                                                    const CheckStreamsFunction& check) {
    std::vector<std::string> uris;
    for (const std::size_t i : which)
        uris.push_back(i < streams.streams.size() ? streams.streams[i].uri : "");
    return check(uris, deviceUri, streams.user, streams.password);
}

StreamAddresses RequestStreamAddresses(const QString& uri, const QString& user, const QString& password,
                                       const GetStreamUriFunction& getStreamUri) {
    StreamAddresses out;
    // One byte more than the library is told about, so the document is always terminated.
    std::array<char, kResultBufferSize + 1> buffer{};
    const QByteArray uriText = uri.toLocal8Bit();
    const QByteArray userText = user.toLocal8Bit();
    const QByteArray passwordText = password.toLocal8Bit();
    out.result = getStreamUri(buffer.data(), kResultBufferSize, uriText.constData(), userText.constData(),
                              passwordText.constData());
    if (out.result < 0) {
        out.errorText = QString::fromUtf8(Onvif_ErrorText(out.result));
        return out;
    }
    // The credentials the addresses carry: the fields', or else a user part written into the address.
    out.user = user;
    out.password = password;
    const QUrl device(uri);
    if (user.isEmpty() && password.isEmpty() && !device.userName().isEmpty() &&
        !device.password().isEmpty()) {
        out.user = device.userName(QUrl::FullyDecoded);
        out.password = device.password(QUrl::FullyDecoded);
    }
    const std::string deviceHost = HostOf(uri.toStdString());
    std::vector<ItemUri> items = ReadResultDocument(buffer.data());
    for (ItemUri& item : items) {
        StreamInfo info;
        if (item.hasText) {
            item.text = ReplaceUnreachableHost(item.text, deviceHost, info.hostReplaced);
            item.text = AddDeviceZone(item.text, deviceHost);
        }
        info.uri = item.hasText ? item.text : std::string();
        info.address = ComposeStreamAddress(item, out.user, out.password);
        info.profile = QString::fromUtf8(item.token.c_str());
        info.name = QString::fromUtf8(item.name.c_str());
        info.source = QString::fromUtf8(item.source.c_str());
        info.encoding = QString::fromUtf8(item.encoding.c_str());
        info.width = item.width;
        info.height = item.height;
        const std::string streamHost = HostOf(info.uri);
        info.otherHost = !info.uri.empty() && ::strcasecmp(streamHost.c_str(), deviceHost.c_str()) != 0;
        out.streams.push_back(std::move(info));
    }
    if (out.streams.size() > 0) out.mainStream = out.streams[0].address;
    if (out.streams.size() > 1) out.subStream = out.streams[1].address;
    return out;
}

}  // namespace quorvi

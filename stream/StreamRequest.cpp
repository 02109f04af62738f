#include "StreamRequest.h"

#include <QByteArray>
#include <QUrl>
#include <algorithm>
#include <array>

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
    const std::vector<ItemUri> items = ReadResultDocument(buffer.data());
    if (items.size() > 0) out.mainStream = ComposeStreamAddress(items[0], user, password);
    if (items.size() > 1) out.subStream = ComposeStreamAddress(items[1], user, password);
    return out;
}

}  // namespace quorvi

#include "SnapshotRequest.h"

#include <vector>

#include "onvifc.h"

namespace quorvi {

GetSnapshotFunction LibraryGetSnapshot() { return Onvif_GetSnapshot; }

SnapshotResult RequestSnapshot(const QString& uri, const QString& user, const QString& password,
                               const GetSnapshotFunction& getSnapshot) {
    SnapshotResult out;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(kSnapshotBufferSize));
    const QByteArray uriText = uri.toLocal8Bit();
    const QByteArray userText = user.toLocal8Bit();
    const QByteArray passwordText = password.toLocal8Bit();
    out.result = getSnapshot(uriText.constData(), userText.constData(), passwordText.constData(),
                             buffer.data(), kSnapshotBufferSize);
    if (out.result < 0) {
        out.errorText = QString::fromUtf8(Onvif_ErrorText(out.result));
        return out;
    }
    // A seam that answers more than it was given room for is not believed.
    if (out.result > kSnapshotBufferSize) {
        out.result = ONVIF_ERR_UNEXPECTED_REPLY;
        out.errorText = QStringLiteral("the picture is larger than its buffer");
        return out;
    }
    out.jpeg = QByteArray(reinterpret_cast<const char*>(buffer.data()), out.result);
    return out;
}

}  // namespace quorvi

#include "FileOutput.h"

#include <QSaveFile>

namespace quorvi {

QString WriteWholeFile(const QString& path, const QByteArray& bytes, bool ownerOnly) {
    QSaveFile file(path);
    const bool written =
        file.open(QIODevice::WriteOnly) &&
        (!ownerOnly || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) &&
        file.write(bytes) == bytes.size() && file.commit();
    if (written) return {};
    file.cancelWriting();
    return file.errorString().isEmpty() ? QStringLiteral("cannot write the file") : file.errorString();
}

}  // namespace quorvi

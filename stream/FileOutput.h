#pragma once

#include <QByteArray>
#include <QString>

namespace quorvi {

// Writes `bytes` to `path` whole or not at all: under a temporary name in the same folder, then renamed,
// so a reader never sees half a file and a failed write leaves the old one. With `ownerOnly` the file is
// readable by its owner alone (0600) from the moment it exists: it holds a password. Returns why it could
// not be written, or an empty text.
QString WriteWholeFile(const QString& path, const QByteArray& bytes, bool ownerOnly);

}  // namespace quorvi

#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace quorvi {

// The library's picture call, behind a seam: (uri, user, password, buffer, size) -> length or negative code.
using GetSnapshotFunction = std::function<int(const char*, const char*, const char*, unsigned char*, int)>;

GetSnapshotFunction LibraryGetSnapshot();

// The library takes at most 4 MiB; a picture that fills the buffer is whole.
constexpr int kSnapshotBufferSize = 4 << 20;

struct SnapshotResult {
    QByteArray jpeg;    // empty on failure
    int result = 0;     // what the library returned
    QString errorText;  // on failure, the library's words for it
};

// A still picture of the device whose service address is `uri`, with the credentials given (the
// library's rules: Digest only, only to that host). Runs on the calling thread, up to about 15 s; safe
// on any thread, as the error text is read on the thread that made the call.
SnapshotResult RequestSnapshot(const QString& uri, const QString& user, const QString& password,
                               const GetSnapshotFunction& getSnapshot = LibraryGetSnapshot());

}  // namespace quorvi

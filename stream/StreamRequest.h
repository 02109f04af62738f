#pragma once

#include <QString>
#include <functional>

#include "ResultReading.h"

namespace quorvi {

// The library call, behind a seam: (buffer, size, uri, user, password) -> item count or negative code.
using GetStreamUriFunction = std::function<int(char*, int, const char*, const char*, const char*)>;

GetStreamUriFunction LibraryGetStreamUri();

struct StreamAddresses {
    QString mainStream;
    QString subStream;
    int result = 0;     // what the library returned
    QString errorText;  // on failure, the library's words for it
};

constexpr int kResultBufferSize = 32768;

// The "get" request without the window: asks the library for the device's streams and composes the
// addresses of the first two items. Both stay empty when the library fails. Safe on any thread; the
// error text is read on the thread that made the call, as the library keeps it per thread.
StreamAddresses RequestStreamAddresses(const QString& uri, const QString& user, const QString& password,
                                       const GetStreamUriFunction& getStreamUri = LibraryGetStreamUri());

// One stream address from an item's Uri. With both credentials non-empty they replace the first seven
// bytes ("rtsp://"), percent-encoded where an address would otherwise be split in the wrong place, and
// take the place of a user part the Uri already has; otherwise the Uri text as it is. Empty when there
// is no usable Uri.
QString ComposeStreamAddress(const ItemUri& item, const QString& user, const QString& password);

// RFC 3986 userinfo encoding: everything but unreserved characters and sub-delims (and ':' in a
// password) as %XX of its UTF-8 bytes.
QString EncodeUserInfo(const QString& text, bool isPassword);

}  // namespace quorvi

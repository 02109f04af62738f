#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "ResultReading.h"

namespace quorvi {

// The library call, behind a seam: (buffer, size, uri, user, password) -> item count or negative code.
using GetStreamUriFunction = std::function<int(char*, int, const char*, const char*, const char*)>;

GetStreamUriFunction LibraryGetStreamUri();

// One stream of the result document, as shown and as it is checked.
struct StreamInfo {
    QString address;  // composed as mainStream and subStream are (credentials inside when given)
    std::string uri;  // without credentials: what the check asks for
    QString profile;  // the profile's token
    QString name;
    QString source;    // its video source token
    QString encoding;  // H264, H265, JPEG, MPEG4, as the device's profile says
    int width = 0;
    int height = 0;
    bool hostReplaced = false;  // the device named a host no player can reach; the device address's is used
    bool otherHost = false;     // served by another host than the device address names
};

struct StreamAddresses {
    QString mainStream;
    QString subStream;
    int result = 0;                   // what the library returned
    QString errorText;                // on failure, the library's words for it
    std::vector<StreamInfo> streams;  // every item, in the document's order
    QString user;  // the credentials the addresses carry (the fields', or the address's own)
    QString password;
};

// The outcome of checking one stream address (see Onvif_CheckStreams).
struct StreamCheckResult {
    QString state;  // "plays", "credentials-refused", "basic-only", "other-host", "not-found", ...
    QString encoding;
    int width = 0;
    int height = 0;
    QString detail;
    bool Plays() const { return state == QLatin1String("plays"); }
};

// The check, behind a seam: (stream addresses without credentials, device address, user, password).
using CheckStreamsFunction = std::function<std::vector<StreamCheckResult>(
    const std::vector<std::string>&, const QString&, const QString&, const QString&)>;

CheckStreamsFunction LibraryCheckStreams();

// Checks the streams of a successful request with its credentials, on the calling thread (up to 5 s).
std::vector<StreamCheckResult> CheckStreamAddresses(
    const StreamAddresses& streams, const QString& deviceUri, const std::vector<std::size_t>& which,
    const CheckStreamsFunction& check = LibraryCheckStreams());

// A stream address whose host is loopback (127.0.0.0/8, localhost), unspecified (0.0.0.0) or empty,
// with `deviceHost` in its place (scheme, user part, port, path and query kept); any other address as it
// is. `replaced` says which.
std::string ReplaceUnreachableHost(const std::string& uri, const std::string& deviceHost, bool& replaced);
// A device on a link-local IPv6 address names its streams without a zone (it knows none of ours): such an
// address on the device's own address gets the zone the device was reached with ("[fe80::5%25eth0]"), so
// that it opens from here; anything else is returned as it is.
std::string AddDeviceZone(const std::string& uri, const std::string& deviceHost);

constexpr int kResultBufferSize = 32768;

// The "get" request without the window: asks the library for the device's streams and composes the
// addresses of the first two items. Both stay empty when the library fails. When the user name and
// password are both empty, a user part written into `uri` stands in for them, in the addresses too. Safe on
// any thread; the error text is read on the thread that made the call, as the library keeps it per thread.
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

#pragma once

#include <string>
#include <vector>

#include "HttpSession.h"

namespace onvifc {

// One item of the result document: a video profile and its stream address.
struct StreamItem {
    std::string name;
    std::string token;
    std::string uri;
    std::string uriPtz;
    std::string source;    // the profile's video source token
    std::string encoding;  // H264, H265, JPEG, MPEG4 (Media 2's MPV4-ES is MPEG4)
    int width = 0;
    int height = 0;
};

// The whole exchange behind Onvif_GetStreamUri. `code` is the item count or a negative OnvifcResult.
struct CallResult {
    int code = 0;
    std::string detail;  // on failure: what happened, in words
    std::vector<StreamItem> items;
    SessionCounts stats;
};

// The whole exchange behind Onvif_GetSnapshot. `code` is the picture's length or a negative OnvifcResult.
struct SnapshotResult {
    int code = 0;
    std::string detail;  // on failure: what happened, in words
    std::string jpeg;
    SessionCounts stats;
};

constexpr int kCallSeconds = 15;
// A camera's still picture: a few hundred KiB at most at 4K; whatever is larger is not a snapshot.
constexpr std::size_t kMaxPicture = 4u << 20;
constexpr std::chrono::milliseconds kPictureTimeout{10000};

CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password);
SnapshotResult GetSnapshot(const std::string& uri, const std::string& user, const std::string& password);

}  // namespace onvifc

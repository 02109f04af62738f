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

// What a site's inventory records of a device, read in the same login as its streams. A field the device
// did not give (an operation it does not support, say) stays empty.
struct Inventory {
    std::string manufacturer;
    std::string model;
    std::string firmware;
    std::string serial;
    std::string hardwareId;
    std::string mac;
    std::string ntp;
    bool clockKnown = false;
    long clockOffsetSeconds = 0;  // the device's UTC minus ours
    bool open = false;            // it gave its profiles though no credentials were sent
};

// The whole exchange behind Onvif_GetStreamUri. `code` is the item count or a negative OnvifcResult.
struct CallResult {
    int code = 0;
    std::string detail;  // on failure: what happened, in words
    std::vector<StreamItem> items;
    SessionCounts stats;
    bool withInventory = false;
    Inventory inventory;
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

// With `inventory`, the device information, network interfaces and NTP settings are asked in the round of
// the stream addresses, after the device has taken the credentials (never before: a wrong password costs
// one refusal), with no round trip of their own.
CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password,
                         bool inventory = false);
SnapshotResult GetSnapshot(const std::string& uri, const std::string& user, const std::string& password);

}  // namespace onvifc

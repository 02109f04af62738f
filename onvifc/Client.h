#pragma once

#include <string>
#include <vector>

namespace onvifc {

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

struct CallStats {
    int requests = 0;
    int connections = 0;
    int rounds = 0;  // waits one after another
};

// The whole exchange behind Onvif_GetStreamUri. `code` is the item count or a negative OnvifcResult.
struct CallResult {
    int code = 0;
    std::string detail;  // on failure: what happened, in words
    std::vector<StreamItem> items;
    CallStats stats;
};

constexpr int kCallSeconds = 15;

CallResult GetStreamUris(const std::string& uri, const std::string& user, const std::string& password);

// The result document for as many of `items`, from the first, as keep it within `limit` bytes (NUL not
// included); `written` receives their number.
std::string ResultDocument(const std::vector<StreamItem>& items, std::size_t limit = std::string::npos,
                           std::size_t* written = nullptr);

}  // namespace onvifc

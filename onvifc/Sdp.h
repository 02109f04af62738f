#pragma once

#include <string>
#include <string_view>

namespace onvifc {

// What an SDP says of its first video stream. Every text comes from the RTSP server, so the reading is
// bounded: at most kMaxSdpBytes and kMaxSdpLines, parameter sets of at most kMaxParameterSet bytes.
struct SdpVideo {
    bool found = false;    // an m=video line
    std::string encoding;  // H264, H265, JPEG, MPEG4, or the rtpmap name as given (at most 16 characters)
    int width = 0;         // 0 when the SDP does not say
    int height = 0;
};

constexpr std::size_t kMaxSdpBytes = 64 * 1024;
constexpr int kMaxSdpLines = 1000;
constexpr std::size_t kMaxParameterSet = 1024;

SdpVideo ReadSdpVideo(std::string_view sdp);

// The picture size an H.264 (type 7) or H.265 (type 33) sequence parameter set gives, NAL header
// included, emulation prevention bytes still in; false when it is not one or ends too soon.
bool ReadH264SpsSize(std::string_view nal, int& width, int& height);
bool ReadH265SpsSize(std::string_view nal, int& width, int& height);

}  // namespace onvifc

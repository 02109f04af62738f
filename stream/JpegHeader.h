#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvi {

// What a JPEG says of itself before any of it is decoded.
struct JpegHeader {
    bool found = false;  // a frame header (SOFn) was read
    int width = 0;
    int height = 0;
    bool progressive = false;
};

// Reads the markers from the start (FF D8) to the first frame header, skipping the segments before it by
// their lengths; at most kMaxJpegSegments of them. Never reads past `bytes`.
JpegHeader ReadJpegHeader(std::string_view bytes);

constexpr int kMaxJpegSegments = 4096;

// The largest picture a camera makes is well under this (a 32 MP sensor): a JPEG that declares more is
// not decoded, since its decoder would take width x height bytes and more before it read a single pixel.
constexpr std::int64_t kMaxPicturePixels = 64'000'000;

// Why a picture is not to be decoded, in words ("the picture declares 30000×30000, larger than any
// camera's"); empty when its declared size is one a camera makes.
std::string PictureSizeProblem(const JpegHeader& header);

}  // namespace quorvi

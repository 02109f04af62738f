// Descriptions and parameter sets come from whatever RTSP server a stream address names: any bytes must
// be survived, and a size read from them must be one a picture can have.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const onvifc::SdpVideo video = onvifc::ReadSdpVideo(text);
    if (video.width < 0 || video.height < 0 || video.width > 16384 || video.height > 16384) __builtin_trap();
    if (video.encoding.size() > 16) __builtin_trap();
    int width = 0;
    int height = 0;
    if (onvifc::ReadH264SpsSize(text, width, height) && (width <= 0 || height <= 0)) __builtin_trap();
    if (onvifc::ReadH265SpsSize(text, width, height) && (width <= 0 || height <= 0)) __builtin_trap();
    return 0;
}

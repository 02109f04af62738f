#include "JpegHeader.h"

namespace quorvi {

JpegHeader ReadJpegHeader(std::string_view bytes) {
    JpegHeader header;
    const auto byte = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]));
    };
    if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return header;
    std::size_t at = 2;
    for (int segments = 0; segments < kMaxJpegSegments; ++segments) {
        // A marker: FF, any number of fill bytes FF, then its code.
        if (at >= bytes.size() || byte(at) != 0xFF) return header;
        while (at < bytes.size() && byte(at) == 0xFF) ++at;
        if (at >= bytes.size()) return header;
        const unsigned marker = byte(at++);
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;     // no length
        if (marker == 0xD9 || marker == 0xDA || marker == 0x00) return header;  // the end, or data: no frame
        if (at + 2 > bytes.size()) return header;
        const std::size_t length = byte(at) << 8 | byte(at + 1);
        if (length < 2) return header;
        // Frame headers: every SOFn but DHT (C4), JPG (C8) and DAC (CC).
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7 || at + 7 > bytes.size()) return header;
            header.height = static_cast<int>(byte(at + 3) << 8 | byte(at + 4));
            header.width = static_cast<int>(byte(at + 5) << 8 | byte(at + 6));
            header.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            header.found = true;
            return header;
        }
        at += length;
    }
    return header;
}

std::string PictureSizeProblem(const JpegHeader& header) {
    if (!header.found) return "the picture has no JPEG frame header";
    const std::string size = std::to_string(header.width) + "\u00d7" + std::to_string(header.height);
    if (header.width <= 0 || header.height <= 0)
        return "the picture declares " + size + ", which is no picture";
    if (std::int64_t{header.width} * header.height > kMaxPicturePixels)
        return "the picture declares " + size + ", larger than any camera's";
    return {};
}

}  // namespace quorvi

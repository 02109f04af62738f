// A picture's header comes from whatever web server a snapshot address names: any bytes must be survived,
// and a size read from them is one 16-bit fields can hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "JpegHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const quorvi::JpegHeader header =
        quorvi::ReadJpegHeader(std::string_view(reinterpret_cast<const char*>(data), size));
    if (header.width < 0 || header.height < 0 || header.width > 65535 || header.height > 65535)
        __builtin_trap();
    if (!header.found && (header.width != 0 || header.height != 0)) __builtin_trap();
    return 0;
}

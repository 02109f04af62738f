// Any datagram from the network goes through the extraction; it must never crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "PortLookup.h"
#include "ReplyExtraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    if (const auto sighting = quorvi::ExtractSighting(reply)) {
        // Both texts come from inside the reply, before its first NUL.
        if (sighting->endpoint.size() > size || sighting->service.size() > size) __builtin_trap();
        if (sighting->endpoint.find('\0') != std::string::npos) __builtin_trap();
        if (sighting->service.find(' ') != std::string::npos) __builtin_trap();
        if (sighting->endpoint.size() > quorvi::kMaxSightingText) __builtin_trap();
        if (sighting->service.size() > quorvi::kMaxSightingText) __builtin_trap();
        // Identity texts are bounded and hold no control characters.
        const quorvi::DeviceIdentity& who = sighting->identity;
        std::size_t xaddrs = 0;
        for (const auto& x : who.xaddrs) xaddrs += x.size();
        if (xaddrs > quorvi::kMaxIdentityXAddrs) __builtin_trap();
        for (const std::string* text : {&who.name, &who.hardware, &who.location}) {
            if (text->size() > quorvi::kMaxIdentityText) __builtin_trap();
            for (const char c : *text) {
                if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();
            }
        }
    }
    // The same bytes as an HTTP answer to a port look-up.
    (void)quorvi::LooksLikeOnvifTimeAnswer(std::string(reply));
    // The first bytes stand for the Probe's ID, the rest for the reply.
    const std::size_t split = size > 0 ? data[0] % (size + 1) : 0;
    quorvi::RepliesToProbe(reply.substr(split), reply.substr(0, split));
    return 0;
}

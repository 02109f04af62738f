// Every SOAP reply a device sends goes through these readers; any bytes must be survived.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DeviceService.h"
#include "MediaService.h"
#include "Soap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    onvifc::ClassifyReply(body);
    onvifc::ParseSystemDateAndTime(body);
    onvifc::ParseServices(body);
    onvifc::ParseCapabilities(body);
    if (const auto profiles = onvifc::ParseProfiles(body)) {
        for (const auto& p : *profiles) {
            if (p.token.empty()) __builtin_trap();  // profiles without a token are never returned
            if (p.width < 0 || p.height < 0 || p.width > 65535 || p.height > 65535) __builtin_trap();
        }
    }
    onvifc::ParseStreamUri(body);
    onvifc::ParseSnapshotUri(body);
    return 0;
}

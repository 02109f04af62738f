// WWW-Authenticate values come from whoever answers at a device's address; any bytes must be survived,
// and whatever challenge is read from them must give a well-formed Authorization header.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DigestAuth.h"
#include "HttpSession.h"
#include "Url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    if (const auto challenge = onvifc::ParseDigestChallenge(value)) {
        const std::string header = onvifc::DigestAuthorization(*challenge, "admin", "pw", "POST",
                                                               "/onvif/device_service", "<b/>", 1, "c");
        if (header.find_first_of("\r\n") != std::string::npos) __builtin_trap();  // no header injection
    }
    onvifc::ParseUrl(value);
    return 0;
}

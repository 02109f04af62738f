// The result document is read whatever it holds: partial, malformed or hostile.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ResultReading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string document(reinterpret_cast<const char*>(data), size);  // read up to its first NUL
    for (const auto& item : quorvi::ReadResultDocument(document.c_str())) {
        if (!item.hasUri && item.hasText) __builtin_trap();
    }
    const quorvi::DocumentInventory inventory = quorvi::ReadInventory(document.c_str());
    if (inventory.model.size() > quorvi::kMaxItemText || inventory.clockOffsetSeconds.size() > 12)
        __builtin_trap();
    return 0;
}

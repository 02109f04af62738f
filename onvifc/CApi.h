#pragma once

#include <string>
#include <vector>

#include "Call.h"

namespace onvifc {

// The result document for as many of `items`, from the first, as keep it within `limit` bytes (NUL not
// included); `written` receives their number. With `inventory`, an Inventory element comes first.
std::string ResultDocument(const std::vector<StreamItem>& items, std::size_t limit = std::string::npos,
                           std::size_t* written = nullptr, const Inventory* inventory = nullptr);

}  // namespace onvifc

#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorvi {

using AdapterList = std::vector<std::string>;
// Where a discovery cycle gets its local addresses from; tests hand in fixed lists.
using AdapterSource = std::function<AdapterList()>;

// Appends every IPv4 address of every non-loopback interface to `adapters`, dotted-decimal, in the order
// the system reports them. Returns the number of entries in the list.
int GetLocalAdapters(AdapterList& adapters);

AdapterSource SystemAdapters();

}  // namespace quorvi

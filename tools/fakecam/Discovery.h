#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "Options.h"

namespace fakecam {

// Stable identity of simulated device `index`.
std::string DeviceUuid(const Options& o, int index);
std::string DeviceServicePath(int index);

// Answers Probes as the simulated devices until `stop` is set. Prints "probe from ADDR:PORT ID at=MS" (ms
// since it began listening) for each Probe it answers; calls `onReady` once it listens. Returns false when
// the socket cannot be set up.
bool RunDiscoveryResponder(const Options& o, const std::atomic<bool>& stop,
                           const std::function<void()>& onReady);

}  // namespace fakecam

#pragma once

#include <functional>

namespace quorvi {

// Runs `work` on a thread of its own, counted by GetCallsInFlight until it returns. False when no thread
// can be had; then nothing ran.
bool StartBackgroundCall(std::function<void()> work);

// Library calls the windows started that have not returned yet, their windows gone or not. A program that
// ends while one is under way leaves without waiting for it.
int GetCallsInFlight();

}  // namespace quorvi

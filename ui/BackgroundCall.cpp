#include "BackgroundCall.h"

#include <atomic>
#include <system_error>
#include <thread>

namespace quorvi {

namespace {
std::atomic<int> g_callsInFlight{0};
}  // namespace

bool StartBackgroundCall(std::function<void()> work) {
    ++g_callsInFlight;
    try {
        std::thread([work = std::move(work)] {
            work();
            --g_callsInFlight;
        }).detach();
        return true;
    } catch (const std::system_error&) {
        --g_callsInFlight;
        return false;
    }
}

int GetCallsInFlight() { return g_callsInFlight.load(); }

}  // namespace quorvi

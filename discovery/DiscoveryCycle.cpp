#include "DiscoveryCycle.h"

#include <thread>
#include <unordered_set>

namespace quorvi {

namespace {

// Sleeps for `total`, waking early when `running` clears.
void PauseUnlessStopped(const std::atomic<bool>& running, std::chrono::milliseconds total) {
    const auto deadline = std::chrono::steady_clock::now() + total;
    while (running.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void HandOn(const ReplyList& replies, const SightingSink& sink) {
    for (std::size_t i = 0; i < replies.size(); ++i) {
        if (auto sighting = ExtractSighting(replies[i], replies.From(i))) sink(*sighting);
    }
}

}  // namespace

int RunDiscoveryCycles(const std::atomic<bool>& running, const DiscoverySources& sources,
                       const SightingSink& sink, int maxCycles, const std::function<void()>& cycleEnded) {
    int cycles = 0;
    while (running.load() && (maxCycles <= 0 || cycles < maxCycles)) {
        const AdapterList adapters = sources.adapters();
        int exchanges = 0;
        for (const std::string& address : adapters) {
            if (!running.load()) break;
            if (address == "0.0.0.0") continue;
            ReplyList replies;
            if (sources.probe(address.c_str(), replies, &running) >= 0) ++exchanges;
            HandOn(replies, sink);
        }
        const TargetList targets = sources.targets ? sources.targets() : TargetList{};
        if (!targets.empty() && running.load()) {
            ReplyList replies;
            if (sources.directedProbe(targets, sources.rate, replies, &running) >= 0) ++exchanges;
            HandOn(replies, sink);
            // Devices that answer no Probe (discovery turned off, UDP filtered): their ONVIF port, if asked.
            if (!sources.ports.empty() && running.load()) {
                std::unordered_set<std::string> answered;
                for (std::size_t i = 0; i < replies.size(); ++i) answered.insert(replies.From(i));
                TargetList silent;
                for (const uint32_t t : targets) {
                    if (!answered.count(FormatAddress(t))) silent.push_back(t);
                }
                for (const PortFinding& f :
                     sources.portLookup(silent, sources.ports, sources.rate, &running)) {
                    Sighting s;
                    s.endpoint = f.Service();
                    s.service = f.Service();
                    s.identity.xaddrs = {f.Service()};
                    s.identity.foundOnPort = f.port;
                    s.source = FormatAddress(f.address);
                    sink(s);
                }
            }
        }
        ++cycles;
        if (cycleEnded && running.load()) cycleEnded();
        if (exchanges == 0 && (maxCycles <= 0 || cycles < maxCycles))
            PauseUnlessStopped(running, kIdleCyclePause);
    }
    return cycles;
}

}  // namespace quorvi

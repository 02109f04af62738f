#include "DiscoveryCycle.h"

#include <map>
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

// Each target that answered no Probe is looked for on its ports; targets with the same ports together.
void LookUpSilentTargets(const TargetList& targets, const ReplyList& replies, const DiscoverySources& sources,
                         const std::atomic<bool>& running, const SightingSink& sink) {
    if (sources.ports.empty() && !sources.portsOf) return;
    std::unordered_set<std::string> answered;
    for (std::size_t i = 0; i < replies.size(); ++i) answered.insert(replies.From(i));
    std::map<std::vector<int>, TargetList> byPorts;
    for (const uint32_t t : targets) {
        if (answered.count(FormatAddress(t))) continue;
        std::vector<int> ports = sources.portsOf ? sources.portsOf(t) : sources.ports;
        if (!ports.empty()) byPorts[std::move(ports)].push_back(t);
    }
    for (const auto& [ports, silent] : byPorts) {
        if (!running.load()) return;
        for (const PortFinding& f : sources.portLookup(silent, ports, sources.rate, &running))
            sink(SightingOf(f));
    }
}

}  // namespace

Sighting SightingOf(const PortFinding& finding) {
    Sighting s;
    s.endpoint = finding.Service();
    s.service = finding.Service();
    s.identity.xaddrs = {finding.Service()};
    s.identity.foundOnPort = finding.port;
    s.source = FormatAddress(finding.address);
    return s;
}

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
            LookUpSilentTargets(targets, replies, sources, running, sink);
        }
        // Then every IPv6 link, the same exchange to ff02::c.
        const Ipv6LinkList links = sources.links6 ? sources.links6() : Ipv6LinkList{};
        for (const Ipv6Link& link : links) {
            if (!running.load()) break;
            ReplyList replies;
            if (sources.probe6(link, replies, &running) >= 0) ++exchanges;
            HandOn(replies, sink);
        }
        ++cycles;
        if (cycleEnded && running.load()) cycleEnded();
        if (exchanges == 0 && (maxCycles <= 0 || cycles < maxCycles))
            PauseUnlessStopped(running, kIdleCyclePause);
    }
    return cycles;
}

}  // namespace quorvi

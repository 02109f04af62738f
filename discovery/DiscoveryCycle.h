#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <utility>

#include "Announcements.h"
#include "DirectedProbe.h"
#include "LocalAdapters.h"
#include "PortLookup.h"
#include "ProbeExchange.h"
#include "ReplyExtraction.h"

namespace quorvi {

using SightingSink = std::function<void(const Sighting&)>;
using ProbeFunction = std::function<int(const char*, ReplyList&, const std::atomic<bool>*)>;
using DirectedProbeFunction =
    std::function<int(const TargetList&, int, ReplyList&, const std::atomic<bool>*)>;
using LinkProbeFunction = std::function<int(const Ipv6Link&, ReplyList&, const std::atomic<bool>*)>;

// What one discovery worker needs: where addresses come from, how an address is probed, and where
// sightings go. The sink is called on the worker's thread, in reply order.
struct DiscoverySources {
    DiscoverySources(AdapterSource adapterSource = SystemAdapters(),
                     ProbeFunction probeFunction = ProbeOnAddress)
        : adapters(std::move(adapterSource)), probe(std::move(probeFunction)) {}
    AdapterSource adapters;
    ProbeFunction probe;
    // IPv6: after the IPv4 exchanges, one on each link (ProbeOnLink); empty: none (--ipv4-only).
    Ipv6LinkSource links6 = SystemIpv6Links();
    LinkProbeFunction probe6 = ProbeOnLink;
    // Directed discovery: addresses probed by unicast once a cycle as well, after the local adapters.
    // Asked for at the start of each cycle, so targets can be added while the worker runs.
    std::function<TargetList()> targets;
    int rate = kDefaultProbeRate;
    DirectedProbeFunction directedProbe = ProbeTargets;
    // Targets that answered no Probe are looked for on these TCP ports (PortLookup); empty: not at all.
    std::vector<int> ports;
    // When given, the ports of each target instead (empty: that target is not looked for).
    std::function<std::vector<int>(uint32_t)> portsOf;
    std::function<std::vector<PortFinding>(const TargetList&, const std::vector<int>&, int,
                                           const std::atomic<bool>*)>
        portLookup = LookForOnvifOnPorts;
    // Hello and Bye, heard while the cycles run (ListenForAnnouncements); empty: none.
    std::function<bool(const std::atomic<bool>&, const AdapterSource&, const Ipv6LinkSource&,
                       const AnnouncementSink&, std::string&)>
        listen = ListenForAnnouncements;
};

// The row a port lookup's finding makes: its service address as id, no name, marked with its port.
Sighting SightingOf(const PortFinding& finding);

// How long a cycle that probed nothing waits before the next, so an idle worker does not spin.
constexpr std::chrono::milliseconds kIdleCyclePause{1000};

// Runs discovery cycles while `running` is set: every address but "0.0.0.0" gets one exchange, every
// reply that yields a sighting goes to `sink`, and `cycleEnded` (when given) after each cycle.
// `maxCycles` > 0 stops after that many cycles.
// Returns the number of cycles completed.
int RunDiscoveryCycles(const std::atomic<bool>& running, const DiscoverySources& sources,
                       const SightingSink& sink, int maxCycles = 0,
                       const std::function<void()>& cycleEnded = {});

}  // namespace quorvi

#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "LocalAdapters.h"
#include "ReplyExtraction.h"

namespace quorvi {

// What a device multicasts of itself: a Hello when it joins a network, a Bye when it leaves in order.
struct Announcement {
    enum Kind { Hello, Bye } kind = Hello;
    Sighting sighting;  // a Bye names only its endpoint (and where it came from)
};

// A Hello whose Types names NetworkVideoTransmitter or Device (or has no Types), read as a ProbeMatch is
// (ExtractSighting, its bounds and the EndpointReference rule), or a Bye with its endpoint. Anything else
// (ProbeMatches copied to the group, Probes, other types) is nothing. `source`: where it came from.
std::optional<Announcement> ReadAnnouncement(std::string_view datagram, std::string_view source = {});

using AnnouncementSink = std::function<void(const Announcement&)>;

// Listens for Hello and Bye on UDP 3702 while `running` is set: one socket, bound to the group address
// itself (so unicast to this machine's 3702, meant for a local WS-Discovery service or a device
// simulator, never reaches it) and shared with any other listener there (SO_REUSEADDR), joined to
// 239.255.255.250 on every local IPv4 address, those that appear later too. Returns false at once, with
// the reason in `error`, when it can neither bind nor join; otherwise when `running` clears (noticed
// within kStopPollInterval). With `links6`, the same on ff02::c: a socket per IPv6 link, bound to the
// group on that link, sources written with the link as zone; then only when neither IPv4 nor any link can
// be listened on is it false.
bool ListenForAnnouncements(const std::atomic<bool>& running, const AdapterSource& adapters,
                            const Ipv6LinkSource& links6, const AnnouncementSink& sink, std::string& error);

}  // namespace quorvi

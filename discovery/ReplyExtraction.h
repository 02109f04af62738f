#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvi {

// Who a device says it is, from its reply's scopes and service addresses; every text cut short and
// without raw control characters, since anyone on the network can write them. The name, hardware and
// location scopes are percent-decoded; service addresses are kept as written.
struct DeviceIdentity {
    std::string name;                 // onvif://www.onvif.org/name/..., percent-decoded
    std::string hardware;             // onvif://www.onvif.org/hardware/...
    std::string location;             // every onvif://www.onvif.org/location/..., joined with "; "
    std::vector<std::string> xaddrs;  // every entry of XAddrs, as written (control bytes as %XX)
    int foundOnPort = 0;              // found by its ONVIF answer on this TCP port, not by a Probe
};

constexpr std::size_t kMaxIdentityText = 64;     // bytes of a name, hardware or location
constexpr std::size_t kMaxIdentityXAddrs = 256;  // bytes of all service addresses together

// One device seen in one reply: its endpoint address (the Address element's text) and its first
// service address (XAddrs up to the first space). Either may be empty.
struct Sighting {
    std::string endpoint;
    std::string service;
    DeviceIdentity identity;
    std::string source;  // the address the reply or announcement came from; empty when unknown
    // The row a sighting makes is decided by these two; the identity only describes it.
    bool operator==(const Sighting& o) const { return endpoint == o.endpoint && service == o.service; }
};

// Real endpoint ids and service addresses are under 200 bytes; a longer one than this is no sighting.
constexpr std::size_t kMaxSightingText = 1024;

// Cuts a sighting out of one reply datagram by plain byte search: the text up to the first NUL, the
// first ":Address>" and ":XAddrs>" markers (case-sensitive, prefix required), each up to the next "</".
// When the text holds ":EndpointReference>", the Address is the first one from there on, so a ReplyTo
// header's anonymous address is not taken for the device. No trimming, no unescaping. An endpoint or
// service longer than kMaxSightingText gives none. The service address: ChooseServiceAddress, with the
// reply's source address (dotted IPv4, IPv6 with its link as zone when link-local, or empty when unknown).
std::optional<Sighting> ExtractSighting(std::string_view reply, std::string_view source = {});

// The host of a URL's text: after "://", without a user part, brackets kept for IPv6; empty without one.
std::string_view UrlHost(std::string_view url);

// The text after the first `marker` in `text`, up to the next "</"; nothing when either is missing.
std::optional<std::string_view> ElementText(std::string_view text, std::string_view marker);

// Of the XAddrs entries (separated by any XML white space, leading white space skipped): the first whose
// host is `source` (an IPv6 source, "fe80::5%eth0", matches its address in brackets); if none is, the
// first whose host is neither link-local (169.254.0.0/16, fe80::/10) nor loopback, an IPv4 one (or a name)
// before an IPv6 one; if none is, the first. A link-local IPv6 entry chosen for a reply that came over an
// IPv6 link gets that link as its zone ("http://[fe80::5%25eth0]/..."). Empty when there is no entry.
std::string ChooseServiceAddress(std::string_view xaddrs, std::string_view source);

// The identity in a reply (up to its first NUL): the Scopes and XAddrs elements found as above.
DeviceIdentity ReadIdentity(std::string_view reply);

// False when the reply (up to its first NUL) names in a ":RelatesTo>" element a message other than
// `messageId`: it answers someone else's Probe. Devices echo the ID sloppily, so surrounding whitespace,
// letter case and a "urn:" before "uuid:" are not held against them. A reply without the marker counts.
bool RepliesToProbe(std::string_view reply, std::string_view messageId);

}  // namespace quorvi

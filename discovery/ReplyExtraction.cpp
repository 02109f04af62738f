#include "ReplyExtraction.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace quorvi {

namespace {

// A MessageID as compared: trimmed, lower case, without "urn:" before "uuid:".
std::string NormalisedId(std::string_view id) {
    const auto first = id.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    id = id.substr(first, id.find_last_not_of(" \t\r\n") - first + 1);
    std::string out(id);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (out.rfind("urn:uuid:", 0) == 0) out.erase(0, 4);
    return out;
}

// Percent-decoded, control characters made spaces, cut to `limit` bytes.
std::string CleanScopeText(std::string_view text, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() < limit; ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            c = static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        }
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    }
    return out;
}

// A service address as written, with control bytes percent-encoded so they show and reach no terminal.
std::string VisibleAddress(std::string_view text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            out += '%';
            out += digits[u >> 4];
            out += digits[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        const auto end = std::min(text.find_first_of(" \t\r\n", start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

bool LinkLocalOrLoopback(std::string_view host) {
    std::string lower(host);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "localhost" || lower == "[::1]") return true;
    // fe80::/10: fe80 to febf.
    if (lower.size() > 5 && lower[0] == '[' && lower.compare(1, 2, "fe") == 0 &&
        std::string_view("89ab").find(lower[3]) != std::string_view::npos) {
        return true;
    }
    unsigned a = 0, b = 0, c = 0, d = 0;
    char end = 0;
    if (std::sscanf(lower.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &end) != 4) return false;
    return a == 127 || (a == 169 && b == 254);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string_view UrlHost(std::string_view url) {
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) return {};
    std::string_view authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, std::min(authority.find_first_of("/?#"), authority.size()));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        return authority.substr(0, std::min(authority.find(']') + 1, authority.size()));
    }
    return authority.substr(0, std::min(authority.find(':'), authority.size()));
}

std::optional<std::string_view> ElementText(std::string_view text, std::string_view marker) {
    const auto at = text.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view rest = text.substr(at + marker.size());
    const auto end = rest.find("</");
    if (end == std::string_view::npos) return std::nullopt;
    return rest.substr(0, end);
}

DeviceIdentity ReadIdentity(std::string_view reply) {
    const auto nul = reply.find('\0');
    if (nul != std::string_view::npos) reply = reply.substr(0, nul);
    DeviceIdentity identity;
    if (const auto scopes = ElementText(reply, ":Scopes>")) {
        for (const std::string_view scope : Words(*scopes)) {
            struct Field {
                std::string_view prefix;
                std::string* into;
            };
            for (const Field& f : {Field{"onvif://www.onvif.org/name/", &identity.name},
                                   Field{"onvif://www.onvif.org/hardware/", &identity.hardware}}) {
                if (f.into->empty() && StartsWithNoCase(scope, f.prefix)) {
                    *f.into = CleanScopeText(scope.substr(f.prefix.size()), kMaxIdentityText);
                }
            }
            // Devices carry several locations (building, floor, room): all of them, within the bound.
            const std::string_view location = "onvif://www.onvif.org/location/";
            if (StartsWithNoCase(scope, location) && identity.location.size() < kMaxIdentityText) {
                if (!identity.location.empty()) identity.location += "; ";
                identity.location += CleanScopeText(scope.substr(location.size()), kMaxIdentityText);
                identity.location.resize(std::min(identity.location.size(), kMaxIdentityText));
            }
        }
    }
    if (const auto xaddrs = ElementText(reply, ":XAddrs>")) {
        std::size_t total = 0;
        for (const std::string_view entry : Words(*xaddrs)) {
            std::string address = VisibleAddress(entry);
            if (total + address.size() > kMaxIdentityXAddrs) break;  // whole entries only
            total += address.size();
            identity.xaddrs.push_back(std::move(address));
        }
    }
    return identity;
}

bool RepliesToProbe(std::string_view reply, std::string_view messageId) {
    const auto nul = reply.find('\0');
    if (nul != std::string_view::npos) reply = reply.substr(0, nul);
    const auto relatesTo = ElementText(reply, ":RelatesTo>");
    return !relatesTo || NormalisedId(*relatesTo) == NormalisedId(messageId);
}

namespace {

// Whether an entry's host is the reply's source: the same text, or for an IPv6 source ("fe80::5%eth0")
// the same address in brackets, whatever its zone.
bool HostIsSource(std::string_view host, std::string_view source) {
    if (host == source) return true;
    if (source.find(':') == std::string_view::npos || host.size() < 3 || host.front() != '[') return false;
    const auto address = [](std::string_view text) {
        in6_addr a{};
        const std::string plain(text.substr(0, text.find('%')));
        return ::inet_pton(AF_INET6, plain.c_str(), &a) == 1 ? std::optional<in6_addr>(a) : std::nullopt;
    };
    const auto h = address(host.substr(1, host.size() - 2));
    const auto s = address(source);
    return h && s && std::memcmp(&*h, &*s, sizeof(in6_addr)) == 0;
}

// A link-local IPv6 entry is of no use without its link: it gets the zone of the link the reply came
// over (from "fe80::5%eth0"), written as a URL writes it ("[fe80::5%25eth0]"), unless it names one.
std::string WithZone(std::string_view entry, std::string_view source) {
    const std::string_view host = UrlHost(entry);
    const auto zone = source.find('%');
    if (zone == std::string_view::npos || !LinkLocalOrLoopback(host) || host.size() < 3 ||
        host.front() != '[' || host.find('%') != std::string_view::npos)
        return std::string(entry);
    const std::size_t close = static_cast<std::size_t>(host.data() - entry.data()) + host.size() - 1;
    std::string withZone(entry);
    withZone.insert(close, "%25" + std::string(source.substr(zone + 1)));
    return withZone;
}

}  // namespace

std::string ChooseServiceAddress(std::string_view xaddrs, std::string_view source) {
    const std::vector<std::string_view> entries = Words(xaddrs);
    if (entries.empty()) return {};
    // The address the reply came from is the one that works; else one that can be reached from here,
    // IPv4 first.
    for (const std::string_view e : entries) {
        if (!source.empty() && HostIsSource(UrlHost(e), source)) return WithZone(e, source);
    }
    for (const bool ipv4 : {true, false}) {
        for (const std::string_view e : entries) {
            const std::string_view host = UrlHost(e);
            if (!LinkLocalOrLoopback(host) && (!ipv4 || host.empty() || host.front() != '['))
                return std::string(e);
        }
    }
    return WithZone(entries.front(), source);
}

std::optional<Sighting> ExtractSighting(std::string_view reply, std::string_view source) {
    const auto nul = reply.find('\0');
    if (nul != std::string_view::npos) reply = reply.substr(0, nul);

    // gSOAP firmware puts a ReplyTo header with the anonymous address before the body's endpoint, so
    // when an EndpointReference is there its Address is the one looked for.
    std::string_view endpointText = reply;
    if (const auto reference = reply.find(":EndpointReference>"); reference != std::string_view::npos) {
        endpointText = reply.substr(reference);
    }
    const auto endpoint = ElementText(endpointText, ":Address>");
    if (!endpoint) return std::nullopt;
    const auto xaddrs = ElementText(reply, ":XAddrs>");
    if (!xaddrs) return std::nullopt;
    std::string service = ChooseServiceAddress(*xaddrs, source);
    if (endpoint->size() > kMaxSightingText || service.size() > kMaxSightingText) return std::nullopt;
    return Sighting{std::string(*endpoint), std::move(service), ReadIdentity(reply), std::string(source)};
}

}  // namespace quorvi

#include "ReplyExtraction.h"

namespace quorvi {

namespace {

// The text after the first `marker`, up to the next "</"; nothing when either is missing.
std::optional<std::string_view> ElementText(std::string_view text, std::string_view marker) {
    const auto at = text.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view rest = text.substr(at + marker.size());
    const auto end = rest.find("</");
    if (end == std::string_view::npos) return std::nullopt;
    return rest.substr(0, end);
}

}  // namespace

std::optional<Sighting> ExtractSighting(std::string_view reply) {
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
    const std::string_view service = xaddrs->substr(0, xaddrs->find(' '));
    return Sighting{std::string(*endpoint), std::string(service)};
}

}  // namespace quorvi

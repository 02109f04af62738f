#include "ReplyExtraction.h"

#include <cctype>

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

}  // namespace

bool RepliesToProbe(std::string_view reply, std::string_view messageId) {
    const auto nul = reply.find('\0');
    if (nul != std::string_view::npos) reply = reply.substr(0, nul);
    const auto relatesTo = ElementText(reply, ":RelatesTo>");
    return !relatesTo || NormalisedId(*relatesTo) == NormalisedId(messageId);
}

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
    if (endpoint->size() > kMaxSightingText || service.size() > kMaxSightingText) return std::nullopt;
    return Sighting{std::string(*endpoint), std::string(service)};
}

}  // namespace quorvi

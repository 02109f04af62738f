#include "Url.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cctype>
#include <cstring>

namespace onvifc {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::optional<Url> ParseUrl(const std::string& text) {
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    std::optional<Url> result;
    if (curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        Url url;
        auto take = [&](CURLUPart which, std::string& into, unsigned flags) {
            char* part = nullptr;
            if (curl_url_get(u, which, &part, flags) == CURLUE_OK && part) {
                into = part;
                curl_free(part);
            }
        };
        take(CURLUPART_SCHEME, url.scheme, 0);
        take(CURLUPART_HOST, url.host, 0);
        take(CURLUPART_PORT, url.port, 0);
        // The zone of a link-local IPv6 host stays part of it, written as a URL writes it.
        std::string zone;
        take(CURLUPART_ZONEID, zone, 0);
        if (!zone.empty() && url.host.size() > 2 && url.host.back() == ']')
            url.host.insert(url.host.size() - 1, "%25" + zone);
        take(CURLUPART_USER, url.user, CURLU_URLDECODE);
        take(CURLUPART_PASSWORD, url.password, CURLU_URLDECODE);
        std::string path, query;
        take(CURLUPART_PATH, path, 0);
        take(CURLUPART_QUERY, query, 0);
        url.pathAndQuery = path.empty() ? "/" : path;
        if (!query.empty()) url.pathAndQuery += "?" + query;
        url.scheme = Lower(url.scheme);
        result = url;
    }
    curl_url_cleanup(u);
    return result;
}

std::string Origin(const Url& url) {
    return url.scheme + "://" + url.host + (url.port.empty() ? "" : ":" + url.port);
}

std::string HostPort(const std::string& address) {
    const auto url = ParseUrl(address);
    if (!url) return address;
    return url->host + (url->port.empty() ? "" : ":" + url->port);
}

namespace {

// A host in the form it is compared in: lower case without brackets; an address literal as its bytes
// (with any zone after them), so that every way of writing one address is the same text.
std::string Canonical(const std::string& host) {
    std::string h = Lower(host);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    std::string zone;
    if (const auto percent = h.find('%'); percent != std::string::npos) {
        zone = h.substr(percent + 1);
        if (zone.rfind("25", 0) == 0) zone.erase(0, 2);  // %25 is how a URL writes the %
        h.erase(percent);
    }
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, h.c_str(), bytes) == 1) {
        // An IPv4-mapped IPv6 address is that IPv4 address.
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(bytes, kMapped, 12) == 0)
            return "4:" + std::string(reinterpret_cast<char*>(bytes + 12), 4);
        return "6:" + std::string(reinterpret_cast<char*>(bytes), 16) + "%" + zone;
    }
    if (::inet_pton(AF_INET, h.c_str(), bytes) == 1)
        return "4:" + std::string(reinterpret_cast<char*>(bytes), 4);
    if (!h.empty() && h.back() == '.') h.pop_back();  // the root's dot
    return "n:" + h;
}

}  // namespace

bool SameHost(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    return Canonical(a) == Canonical(b);
}

bool IsHttp(const Url& url) { return (url.scheme == "http" || url.scheme == "https") && !url.host.empty(); }

}  // namespace onvifc

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

bool IsHttp(const Url& url) { return (url.scheme == "http" || url.scheme == "https") && !url.host.empty(); }

}  // namespace onvifc

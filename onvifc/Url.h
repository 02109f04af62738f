#pragma once

#include <optional>
#include <string>

#include "SameHost.h"

namespace onvifc {

struct Url {
    std::string scheme;  // lower case
    std::string host;    // as written, brackets kept for IPv6
    std::string port;    // may be empty
    std::string pathAndQuery;
    std::string user;  // percent-decoded user part, if one was written
    std::string password;
};

// Any absolute URL libcurl's parser understands; nothing when it is not one.
std::optional<Url> ParseUrl(const std::string& text);
// scheme://host[:port], without any user part.
std::string Origin(const Url& url);
// host[:port] of an address, for messages; the text itself when it is no URL.
std::string HostPort(const std::string& address);
// http or https, with a host.
bool IsHttp(const Url& url);

}  // namespace onvifc

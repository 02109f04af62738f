#pragma once

#include <curl/curl.h>

#include <chrono>
#include <string>
#include <vector>

namespace onvifc {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kConnectTimeout{3000};
constexpr std::chrono::milliseconds kRequestTimeout{5000};
constexpr std::size_t kMaxBody = 1 << 20;

struct HttpRequest {
    std::string url;
    std::string action;  // SOAP action URI
    std::string body;
};

struct HttpResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    bool digestChallenge = false;  // a WWW-Authenticate: Digest header came back
    bool connected = false;        // a connection to the server was made
    bool tooLarge = false;
};

// POSTs SOAP requests over one connection cache, so consecutive and concurrent requests to a device reuse
// their connections. Every request is bounded by the connect and request time-outs and by `deadline`.
class HttpSession {
public:
    explicit HttpSession(Clock::time_point deadline);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // From now on, answer HTTP Digest challenges with these credentials (and never anything weaker).
    void UseDigest(const std::string& user, const std::string& password);
    bool UsingDigest() const { return m_digest; }

    std::vector<HttpResult> PostAll(const std::vector<HttpRequest>& requests);
    HttpResult Post(const HttpRequest& request) { return PostAll({request}).front(); }

    int Requests() const { return m_requests; }        // HTTP exchanges, digest round trips included
    int Connections() const { return m_connections; }  // connections opened
    int Rounds() const { return m_rounds; }            // waits one after another

private:
    struct Transfer;
    CURL* TakeHandle();
    Clock::time_point m_deadline;
    CURLM* m_multi = nullptr;
    std::vector<CURL*> m_handles;  // idle easy handles, kept for their state
    bool m_digest = false;
    std::string m_user;
    std::string m_password;
    int m_requests = 0;
    int m_connections = 0;
    int m_rounds = 0;
};

}  // namespace onvifc

#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace onvifc {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kConnectTimeout{3000};
constexpr std::chrono::milliseconds kRequestTimeout{5000};
constexpr std::size_t kMaxBody = 1 << 20;
// Real answers carry a few hundred bytes of headers; interim (1xx) answers count towards this too.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Small devices serve one to four connections at a time and close the rest unanswered.
constexpr int kMaxConnections = 4;

struct Url {
    std::string scheme;  // lower case
    std::string host;    // as written, brackets kept for IPv6
    std::string port;    // may be empty
    std::string pathAndQuery;
    std::string user;  // percent-decoded user part, if one was written
    std::string password;
};

// Any absolute URL libcurl understands; nothing when it is not one.
std::optional<Url> ParseUrl(const std::string& text);
// scheme://host[:port], without any user part.
std::string Origin(const Url& url);

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
    bool headersTooLarge = false;  // more than kMaxHeaderBytes of headers
    bool budgetSpent = false;      // the call's time ran out before the request could go out
    bool basicOnly = false;        // challenged, but only for HTTP Basic (never answered)
    std::string unanswerable;      // a Digest challenge we cannot answer: what it asks for
    long osErrno = 0;              // what the system said when a connection failed
    std::string error;             // libcurl's words for a failure
};

// One HTTP Digest challenge (RFC 7616) as a WWW-Authenticate header gives it.
struct DigestChallenge {
    std::string realm;
    std::string nonce;
    std::string opaque;
    std::string algorithm = "MD5";  // MD5, MD5-sess, SHA-256, SHA-256-sess
    std::string qop;                // "auth", "auth-int" or empty (RFC 2069)
    bool stale = false;
};

// The Digest challenge of a WWW-Authenticate value, if it holds one we can answer. When it holds one we
// cannot (an algorithm or qop we do not compute), `unanswerable` says which, e.g. "the algorithm
// SHA-512-256".
std::optional<DigestChallenge> ParseDigestChallenge(const std::string& value,
                                                    std::string* unanswerable = nullptr);
// Whether a WWW-Authenticate value offers the scheme (lower case, e.g. "basic"), read outside quoted strings.
bool OffersScheme(const std::string& value, const std::string& lowerScheme);

// The Authorization header value answering `challenge` for one request.
std::string DigestAuthorization(const DigestChallenge& challenge, const std::string& user,
                                const std::string& password, const std::string& method,
                                const std::string& uri, const std::string& body, unsigned nc,
                                const std::string& cnonce);

// POSTs SOAP requests to a device over a small pool of kept-alive connections. Every request is
// bounded by the connect and request time-outs and by `deadline`. Once a device has asked for HTTP
// Digest, every request carries its whole body and a Digest Authorization header, on any connection;
// nothing is ever sent in clear.
class HttpSession {
public:
    HttpSession(Clock::time_point deadline, std::string user, std::string password);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Builds request i when it is sent (so a WS-Security token is fresh then) and sends them all, at
    // most kMaxConnections at a time. A request that is challenged for Digest, or whose connection is
    // closed or refused without an answer by a device that has answered before, is built and sent again.
    using Builder = std::function<HttpRequest(std::size_t)>;
    std::vector<HttpResult> PostAll(std::size_t count, const Builder& build);

    int Requests() const { return m_requests; }        // HTTP exchanges, digest round trips included
    int Connections() const { return m_connections; }  // connections opened
    int Rounds() const { return m_rounds; }            // waits one after another

private:
    struct Transfer;
    struct Batch;
    bool Start(Transfer& t, const HttpRequest& request);
    void StartWaiting(Batch& batch, const Builder& build);  // as many as the connections allow
    void CollectDone(Batch& batch);                         // each finished transfer: done or sent again
    void ReadOutcome(Transfer& t);
    bool SentAgain(Batch& batch, const Transfer& t);  // challenged, or turned away unanswered

    Clock::time_point m_deadline;
    std::string m_user;
    std::string m_password;
    CURLM* m_multi = nullptr;
    std::optional<DigestChallenge> m_challenge;
    unsigned m_nonceCount = 0;
    int m_parallel = kMaxConnections;  // lowered when a device turns connections away
    std::set<std::string> m_answered;  // origins that have answered in this session
    std::string m_caFile;              // verify certificates against these when set
    int m_requests = 0;
    int m_connections = 0;
    int m_rounds = 0;
};

}  // namespace onvifc

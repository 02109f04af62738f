#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DigestAuth.h"

namespace onvifc {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kConnectTimeout{3000};
constexpr std::chrono::milliseconds kRequestTimeout{5000};
constexpr std::size_t kMaxBody = 1 << 20;
// Headers of real answers are a few hundred bytes; interim (1xx) answers count towards this too.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Small devices serve one to four connections at a time and close the rest unanswered.
constexpr int kMaxConnections = 4;

struct HttpRequest {
    std::string url;
    std::string action;  // SOAP action URI; empty for a GET
    std::string body;
    bool get = false;  // a GET without a body (a picture) rather than a SOAP POST
    std::size_t maxBody = kMaxBody;
    std::chrono::milliseconds timeout = kRequestTimeout;
};

// What went wrong on the way, in our words (the transfer library's stay in HttpSession.cpp).
enum class Transport {
    Ok,
    TimedOut,
    Unsupported,  // not an http or https address
    HostNotFound,
    Refused,  // connection refused
    NoRoute,
    NoConnection,      // no connection for another reason
    ClosedUnanswered,  // closed or reset before any answer
    CertificateRefused,
    TlsFailed,
    CutShort,         // fewer bytes than announced
    BodyTooLarge,     // over kMaxBody
    HeadersTooLarge,  // over kMaxHeaderBytes
    NotHttp,          // an answer that is not HTTP
    Failed            // anything else: see `detail`
};

struct HttpResult {
    Transport transport = Transport::Ok;
    long status = 0;
    std::string body;
    bool digestChallenge = false;  // a WWW-Authenticate: Digest header we can answer came back
    bool connected = false;        // a connection to the server was made
    bool budgetSpent = false;      // the call's time ran out before the request could go out
    bool basicOnly = false;        // challenged, but only for HTTP Basic (never answered)
    bool digestRefused = false;    // it carried our Digest answer and was refused all the same
    bool digestAnswered = false;   // it carried our Digest answer
    std::string unanswerable;      // a Digest challenge we cannot answer: what it asks for
    std::string detail;            // the transfer library's words for a failure
    std::string contentType;       // as the answer named it, cut to 64 bytes
};

// How much a session cost the device, for tests and benchmarks.
struct SessionCounts {
    int requests = 0;     // HTTP exchanges, Digest round trips included
    int connections = 0;  // connections opened
    int rounds = 0;       // waits one after another
};

// Sends SOAP requests (and GETs) to a device over a small pool of kept-alive connections. Every request is
// bounded by the connect and request time-outs and by `deadline`. Once a device has asked for HTTP
// Digest, every request carries its whole body and a Digest Authorization header, on any connection;
// nothing is ever sent in clear. The only place that speaks HTTP through libcurl.
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
    std::vector<HttpResult> SendAll(std::size_t count, const Builder& build);

    const SessionCounts& Counts() const { return m_counts; }

private:
    struct Transfer;
    struct Batch;
    bool Start(Transfer& t, const HttpRequest& request);
    void StartWaiting(Batch& batch, const Builder& build);  // as many as the connections allow
    void CollectDone(Batch& batch);                         // each finished transfer: done or sent again
    void ReadOutcome(Transfer& t, int code);
    bool SentAgain(Batch& batch, const Transfer& t);  // challenged, or turned away unanswered

    Clock::time_point m_deadline;
    std::string m_user;
    std::string m_password;
    void* m_multi = nullptr;  // the transfer library's multi handle
    DigestSession m_digest;
    int m_parallel = kMaxConnections;  // lowered when a device turns connections away
    std::set<std::string> m_answered;  // origins that have answered in this session
    std::string m_caFile;              // verify certificates against these when set
    SessionCounts m_counts;
};

}  // namespace onvifc

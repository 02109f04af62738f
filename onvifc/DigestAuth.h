#pragma once

#include <optional>
#include <string>

namespace onvifc {

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

// Digest for a run of requests, for HTTP and RTSP alike: the challenge in force and its nonce count,
// which starts again with every new nonce. Not thread-safe.
class DigestSession {
public:
    bool Active() const { return m_challenge.has_value(); }
    const std::string& Nonce() const { return m_challenge->nonce; }
    // Takes the challenge to answer from now on; a new nonce counts from 1 again.
    void Take(const DigestChallenge& challenge);
    // The Authorization value for the next request, with the next nonce count and a fresh cnonce.
    std::string Answer(const std::string& user, const std::string& password, const std::string& method,
                       const std::string& uri, const std::string& body);

private:
    std::optional<DigestChallenge> m_challenge;
    unsigned m_nonceCount = 0;
};

}  // namespace onvifc

#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace fakecam {

// The HTTP Digest response (RFC 7616; RFC 2069 when qop is empty) a client must send. `algorithm` is
// MD5, MD5-sess, SHA-256 or SHA-256-sess; the -sess ones hash HA1 again with the nonce and cnonce.
std::string DigestResponse(const std::string& algorithm, const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& method, const std::string& uri,
                           const std::string& nonce, const std::string& nc, const std::string& cnonce,
                           const std::string& qop);

// The MD5, qop=auth response of RFC 2617.
inline std::string DigestResponse(const std::string& user, const std::string& realm,
                                  const std::string& password, const std::string& method,
                                  const std::string& uri, const std::string& nonce, const std::string& nc,
                                  const std::string& cnonce, const std::string& qop) {
    return DigestResponse("MD5", user, realm, password, method, uri, nonce, nc, cnonce, qop);
}

// How a device checks Digest answers, as the strict ones do.
struct DigestPolicy {
    std::string realm = "fakecam";
    std::string algorithm = "MD5";
    bool qop = true;          // qop="auth"; without it, RFC 2069 answers (what RTSP cameras often ask)
    bool ncCheck = false;     // refuse an nc that is 0, used before with its nonce, or far past the last
    int lifetimeUses = 0;     // a nonce answers this many requests, then is stale (0: for ever)
    int lifetimeSeconds = 0;  // or this long
};

// The nonces a device hands out and the answers it takes. Safe from any thread.
class DigestServer {
public:
    explicit DigestServer(DigestPolicy policy) : m_policy(std::move(policy)) {}

    // A WWW-Authenticate value with a fresh nonce; `stale` tells the client its last nonce expired.
    std::string Challenge(bool stale = false);

    enum class Verdict { Missing, Valid, Wrong, Stale };
    // The Authorization header of a request for `uri` with `method`, against the account given.
    Verdict Check(const std::string& authorization, const std::string& method, const std::string& uri,
                  const std::string& user, const std::string& password);

    const DigestPolicy& Policy() const { return m_policy; }

private:
    struct Nonce {
        std::chrono::steady_clock::time_point issued;
        int uses = 0;
        std::set<unsigned long> counts;
    };
    DigestPolicy m_policy;
    std::mutex m_mutex;
    std::map<std::string, Nonce> m_nonces;
};

}  // namespace fakecam

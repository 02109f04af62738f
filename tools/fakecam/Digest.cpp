// HTTP Digest as a device checks it, written from RFC 7616 and RFC 2617 on its own.
#include "Digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <regex>

namespace fakecam {

namespace {

std::string Hex(const unsigned char* bytes, unsigned n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string HashHex(const std::string& algorithm, const std::string& text) {
    const EVP_MD* md = algorithm.rfind("SHA-256", 0) == 0 ? EVP_sha256() : EVP_md5();
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(text.data(), text.size(), d, &n, md, nullptr);
    return Hex(d, n);
}

std::map<std::string, std::string> Fields(const std::string& header) {
    std::map<std::string, std::string> fields;
    static const std::regex field(R"re((\w+)=(?:"([^"]*)"|([^,\s]+)))re");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), field); it != std::sregex_iterator();
         ++it) {
        fields[(*it)[1]] = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
    }
    return fields;
}

constexpr std::size_t kMaxNonces = 4096;

}  // namespace

std::string DigestResponse(const std::string& algorithm, const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& method, const std::string& uri,
                           const std::string& nonce, const std::string& nc, const std::string& cnonce,
                           const std::string& qop) {
    std::string ha1 = HashHex(algorithm, user + ":" + realm + ":" + password);
    const bool sess = algorithm.size() > 5 && algorithm.compare(algorithm.size() - 5, 5, "-sess") == 0;
    if (sess) ha1 = HashHex(algorithm, ha1 + ":" + nonce + ":" + cnonce);
    const std::string ha2 = HashHex(algorithm, method + ":" + uri);
    if (qop.empty()) return HashHex(algorithm, ha1 + ":" + nonce + ":" + ha2);
    return HashHex(algorithm, ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);
}

std::string DigestServer::Challenge(bool stale) {
    unsigned char raw[16];
    RAND_bytes(raw, sizeof raw);
    const std::string nonce = Hex(raw, sizeof raw);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nonces.size() >= kMaxNonces) m_nonces.erase(m_nonces.begin());
        m_nonces[nonce] = Nonce{std::chrono::steady_clock::now(), 0, {}};
    }
    std::string value = "Digest realm=\"" + m_policy.realm + "\"";
    if (m_policy.qop) value += ", qop=\"auth\"";
    value += ", algorithm=" + m_policy.algorithm + ", nonce=\"" + nonce + "\"";
    if (stale) value += ", stale=true";
    return value;
}

DigestServer::Verdict DigestServer::Check(const std::string& authorization, const std::string& method,
                                          const std::string& uri, const std::string& user,
                                          const std::string& password) {
    if (authorization.rfind("Digest ", 0) != 0) return Verdict::Missing;
    auto f = Fields(authorization.substr(7));
    const std::string qop = m_policy.qop ? "auth" : "";
    const std::string algorithm = f.count("algorithm") ? f["algorithm"] : "MD5";
    if (f["username"] != user || f["realm"] != m_policy.realm || f["qop"] != qop ||
        algorithm != m_policy.algorithm) {
        return Verdict::Wrong;
    }
    // The uri the client signed must be the one it asked for.
    if (f["uri"] != uri) return Verdict::Wrong;
    if (f["response"] != DigestResponse(algorithm, user, m_policy.realm, password, method, f["uri"],
                                        f["nonce"], f["nc"], f["cnonce"], qop)) {
        return Verdict::Wrong;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_nonces.find(f["nonce"]);
    if (it == m_nonces.end()) return Verdict::Stale;  // right answer to a nonce we no longer know
    Nonce& n = it->second;
    const auto age = std::chrono::steady_clock::now() - n.issued;
    if ((m_policy.lifetimeUses > 0 && n.uses >= m_policy.lifetimeUses) ||
        (m_policy.lifetimeSeconds > 0 && age > std::chrono::seconds(m_policy.lifetimeSeconds))) {
        m_nonces.erase(it);
        return Verdict::Stale;
    }
    if (m_policy.ncCheck && m_policy.qop) {
        // The next count for this nonce; a client with requests under way on a few connections may be a
        // few ahead, never behind, never again, never 0.
        char* end = nullptr;
        const unsigned long nc = std::strtoul(f["nc"].c_str(), &end, 16);
        if (f["nc"].size() != 8 || *end != '\0' || nc == 0 || n.counts.count(nc) ||
            nc > n.counts.size() + 4) {
            return Verdict::Wrong;
        }
        n.counts.insert(nc);
    }
    ++n.uses;
    return Verdict::Valid;
}

}  // namespace fakecam

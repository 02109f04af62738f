#include "DigestAuth.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <vector>

#include "Crypto.h"

namespace onvifc {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string QuoteValue(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c != '\r' && c != '\n') out += c;
    }
    return out + "\"";
}

// The auth schemes a WWW-Authenticate value names, in lower case, each with where its parameters begin.
// A scheme is a token at the start or after a comma that is not followed by '=' (that would be a
// parameter); nothing inside a quoted string counts, so a realm cannot smuggle a scheme in.
std::vector<std::pair<std::string, std::size_t>> Schemes(const std::string& value) {
    std::vector<std::pair<std::string, std::size_t>> schemes;
    auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    bool tokenMayStart = true;
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        if (c == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\') ++i;
            }
            ++i;
            tokenMayStart = false;
            continue;
        }
        if (c == ',') {
            tokenMayStart = true;
            ++i;
            continue;
        }
        if (isSpace(c) || c == '=' || !tokenMayStart) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < value.size() && !isSpace(value[i]) && value[i] != ',' && value[i] != '=' &&
               value[i] != '"')
            ++i;
        std::size_t next = i;
        while (next < value.size() && isSpace(value[next])) ++next;
        if (next >= value.size() || value[next] != '=')
            schemes.emplace_back(Lower(value.substr(start, i - start)), i);
        tokenMayStart = false;
    }
    return schemes;
}

// Where the Digest scheme's parameters begin; npos when there is none.
std::size_t FindDigestScheme(const std::string& value) {
    for (const auto& [scheme, at] : Schemes(value)) {
        if (scheme == "digest") return at;
    }
    return std::string::npos;
}

// The name=value and name="quoted value" pairs from `at` up to the next scheme; names in lower case.
std::map<std::string, std::string> ReadAuthParams(const std::string& value, std::size_t at) {
    std::map<std::string, std::string> params;
    std::size_t i = at;
    while (i < value.size()) {
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == ',')) ++i;
        const std::size_t nameStart = i;
        while (i < value.size() && value[i] != '=' && value[i] != ' ' && value[i] != ',') ++i;
        const std::string name = Lower(value.substr(nameStart, i - nameStart));
        while (i < value.size() && value[i] == ' ') ++i;
        if (i >= value.size() || value[i] != '=') break;  // the next scheme begins
        ++i;
        while (i < value.size() && value[i] == ' ') ++i;
        std::string v;
        if (i < value.size() && value[i] == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) ++i;
                v += value[i];
            }
            ++i;
        } else {
            while (i < value.size() && value[i] != ',' && value[i] != ' ') v += value[i++];
        }
        params[name] = v;  // the last of a repeated parameter counts
    }
    return params;
}

// The algorithm's name as the digest computation knows it; nothing for one we cannot compute.
std::optional<std::string> KnownAlgorithm(const std::string& name) {
    for (const char* known : {"MD5", "MD5-sess", "SHA-256", "SHA-256-sess"}) {
        if (Lower(name) == Lower(known)) return std::string(known);
    }
    return std::nullopt;
}

// qop is a list; "auth" is preferred, "auth-int" taken when it is the only one, "" when none is offered.
// Nothing when only qops we do not know are offered.
std::optional<std::string> ChooseQop(const std::string& qops) {
    std::vector<std::string> offered;
    for (std::size_t p = 0; p <= qops.size();) {
        const std::size_t comma = std::min(qops.find(',', p), qops.size());
        std::string q = qops.substr(p, comma - p);
        q.erase(0, q.find_first_not_of(" \t"));
        q.erase(q.find_last_not_of(" \t") + 1);
        if (!q.empty()) offered.push_back(q);
        p = comma + 1;
    }
    if (std::find(offered.begin(), offered.end(), "auth") != offered.end()) return std::string("auth");
    if (std::find(offered.begin(), offered.end(), "auth-int") != offered.end())
        return std::string("auth-int");
    if (offered.empty()) return std::string();
    return std::nullopt;
}

}  // namespace

bool OffersScheme(const std::string& value, const std::string& lowerScheme) {
    const auto schemes = Schemes(value);
    return std::any_of(schemes.begin(), schemes.end(), [&](const auto& s) { return s.first == lowerScheme; });
}

std::optional<DigestChallenge> ParseDigestChallenge(const std::string& value, std::string* unanswerable) {
    const std::size_t at = FindDigestScheme(value);
    if (at == std::string::npos) return std::nullopt;
    const auto params = ReadAuthParams(value, at);
    const auto param = [&](const char* name) {
        const auto it = params.find(name);
        return it == params.end() ? std::string() : it->second;
    };
    if (!params.count("nonce")) return std::nullopt;
    const auto algorithm = KnownAlgorithm(params.count("algorithm") ? param("algorithm") : "MD5");
    const auto qop = ChooseQop(Lower(param("qop")));
    if (!algorithm || !qop) {
        if (unanswerable) {
            *unanswerable = !algorithm ? "the algorithm " + param("algorithm") : "the qop " + param("qop");
        }
        return std::nullopt;
    }
    DigestChallenge c;
    c.realm = param("realm");
    c.nonce = param("nonce");
    c.opaque = param("opaque");
    c.algorithm = *algorithm;
    c.qop = *qop;
    c.stale = Lower(param("stale")) == "true";
    return c;
}

std::string DigestAuthorization(const DigestChallenge& c, const std::string& user,
                                const std::string& password, const std::string& method,
                                const std::string& uri, const std::string& body, unsigned nc,
                                const std::string& cnonce) {
    const bool sess = c.algorithm.size() > 5 && c.algorithm.compare(c.algorithm.size() - 5, 5, "-sess") == 0;
    const std::string hash = sess ? c.algorithm.substr(0, c.algorithm.size() - 5) : c.algorithm;
    auto H = [&](const std::string& text) { return HexDigest(hash, text); };
    std::string ha1 = H(user + ":" + c.realm + ":" + password);
    if (sess) ha1 = H(ha1 + ":" + c.nonce + ":" + cnonce);
    const std::string ha2 =
        c.qop == "auth-int" ? H(method + ":" + uri + ":" + H(body)) : H(method + ":" + uri);
    char ncText[9];
    std::snprintf(ncText, sizeof ncText, "%08x", nc);
    const std::string response =
        c.qop.empty() ? H(ha1 + ":" + c.nonce + ":" + ha2)
                      : H(ha1 + ":" + c.nonce + ":" + ncText + ":" + cnonce + ":" + c.qop + ":" + ha2);
    std::string header = "Digest username=" + QuoteValue(user) + ", realm=" + QuoteValue(c.realm) +
                         ", nonce=" + QuoteValue(c.nonce) + ", uri=" + QuoteValue(uri) +
                         ", algorithm=" + c.algorithm + ", response=\"" + response + "\"";
    if (!c.qop.empty()) header += ", qop=" + c.qop + ", nc=" + ncText + ", cnonce=\"" + cnonce + "\"";
    if (!c.opaque.empty()) header += ", opaque=" + QuoteValue(c.opaque);
    return header;
}

void DigestSession::Take(const DigestChallenge& challenge) {
    if (!m_challenge || m_challenge->nonce != challenge.nonce) m_nonceCount = 0;
    m_challenge = challenge;
}

std::string DigestSession::Answer(const std::string& user, const std::string& password,
                                  const std::string& method, const std::string& uri,
                                  const std::string& body) {
    return DigestAuthorization(*m_challenge, user, password, method, uri, body, ++m_nonceCount,
                               Hex(RandomBytes(8)));
}

}  // namespace onvifc

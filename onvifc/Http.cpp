#include "Http.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "Crypto.h"

namespace onvifc {

namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(const char* text, std::size_t length, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return length >= n && ::strncasecmp(text, prefix, n) == 0;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Connection closed or reset before any answer: what a device out of connection slots does.
bool ClosedUnanswered(CURLcode code) {
    return code == CURLE_GOT_NOTHING || code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR;
}

constexpr int kMaxResends = 4;     // per request, for connections turned away
constexpr int kMaxChallenges = 2;  // per request: the first challenge, and one stale nonce

std::string QuoteValue(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c != '\r' && c != '\n') out += c;
    }
    return out + "\"";
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

namespace {

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

struct HttpSession::Transfer {
    std::size_t index = 0;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    std::string origin;
    std::string nonceUsed;  // the Digest nonce this request answered, if any
    int depth = 1;          // how many waits, one after another, led to its answer
    int statusLines = 0;
    std::size_t headerBytes = 0;             // of every answer, interim ones included
    std::vector<std::string> challenges;     // WWW-Authenticate values of the last answer
    std::optional<DigestChallenge> offered;  // the one to answer: SHA-256 before MD5
    HttpResult result;
    char error[CURL_ERROR_SIZE] = {};
    ~Transfer() {
        curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        const size_t n = size * count;
        if (t->result.body.size() + n > kMaxBody) {
            t->result.tooLarge = true;
            return 0;  // aborts the transfer
        }
        t->result.body.append(data, n);
        return n;
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        const size_t n = size * count;
        t->headerBytes += n;
        if (t->headerBytes > kMaxHeaderBytes) {
            t->result.headersTooLarge = true;
            return 0;  // aborts the transfer
        }
        if (StartsWithNoCase(data, n, "HTTP/")) {
            ++t->statusLines;
            t->result.body.clear();
            t->challenges.clear();
        }
        if (StartsWithNoCase(data, n, "WWW-Authenticate:")) {
            std::string value(data + 17, n - 17);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t\r\n") + 1);
            t->challenges.push_back(value);
        }
        return n;
    }
};

HttpSession::HttpSession(Clock::time_point deadline, std::string user, std::string password)
    : m_deadline(deadline), m_user(std::move(user)), m_password(std::move(password)) {
    GlobalInit();
    m_multi = curl_multi_init();
    if (m_multi) {
        curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(kMaxConnections));
        curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kMaxConnections));
    }
    if (const char* ca = std::getenv("ONVIFC_CA_FILE"); ca && *ca) m_caFile = ca;
}

HttpSession::~HttpSession() {
    if (m_multi) curl_multi_cleanup(m_multi);
}

bool HttpSession::Start(Transfer& t, const HttpRequest& request) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
    const auto url = ParseUrl(request.url);
    t.handle = remaining.count() > 0 && url ? curl_easy_init() : nullptr;
    if (!t.handle) {
        t.result.code = remaining.count() > 0 ? CURLE_URL_MALFORMAT : CURLE_OPERATION_TIMEDOUT;
        // Out of time before it could go out: a device that has answered before answers too slowly.
        t.result.budgetSpent = remaining.count() <= 0;
        t.result.connected = url && m_answered.count(Origin(*url)) > 0;
        return false;
    }
    t.origin = Origin(*url);
    CURL* h = t.handle;
    const std::string contentType =
        "Content-Type: application/soap+xml; charset=utf-8; action=\"" + request.action + "\"";
    t.headers = curl_slist_append(t.headers, contentType.c_str());
    t.headers = curl_slist_append(t.headers, "Expect:");
    if (m_challenge && !m_user.empty()) {
        // Answered by us on every request, so no request ever goes out without its body to learn a nonce.
        const std::string authorization =
            "Authorization: " + DigestAuthorization(*m_challenge, m_user, m_password, "POST",
                                                    url->pathAndQuery, request.body, ++m_nonceCount,
                                                    Hex(RandomBytes(8)));
        t.headers = curl_slist_append(t.headers, authorization.c_str());
        t.nonceUsed = m_challenge->nonce;
    }
    // The address without any user part: libcurl would otherwise send it as Basic credentials.
    const std::string target = Origin(*url) + url->pathAndQuery;
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");  // never hand a device's credentials to a proxy
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, request.body.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min(kConnectTimeout, remaining).count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(kRequestTimeout, remaining).count()));
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBody));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t.error);
    curl_easy_setopt(h, CURLOPT_PRIVATE, &t);
    if (m_caFile.empty()) {
        // Cameras make their own certificates; what protects the credentials is that they travel as digests.
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
        curl_easy_setopt(h, CURLOPT_CAINFO, m_caFile.c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    return curl_multi_add_handle(m_multi, h) == CURLM_OK;
}

// The state of one PostAll: which requests wait, which are under way, how often each was sent again.
struct HttpSession::Batch {
    explicit Batch(std::size_t count)
        : results(count), depthWhenQueued(count, 0), resends(count, 0), challenges(count, 0) {
        for (std::size_t i = 0; i < count; ++i) waiting.push_back(i);
    }

    void Finish(std::unique_ptr<Transfer> t) {
        rounds = std::max(rounds, t->depth);
        freedDepth = t->depth;
        results[t->index] = std::move(t->result);
    }

    // Request i goes again, one wait after the transfer that failed it; a Digest answer goes first.
    void SendAgain(const Transfer& t, bool first) {
        depthWhenQueued[t.index] = freedDepth = t.depth;
        if (first) {
            waiting.push_front(t.index);
        } else {
            waiting.push_back(t.index);
        }
    }

    std::vector<HttpResult> results;
    std::deque<std::size_t> waiting;
    std::vector<int> depthWhenQueued;
    std::vector<int> resends;
    std::vector<int> challenges;
    std::vector<std::unique_ptr<Transfer>> active;
    int rounds = 0;
    int freedDepth = 0;  // depth of the transfer whose slot the next one takes
};

std::vector<HttpResult> HttpSession::PostAll(std::size_t count, const Builder& build) {
    Batch batch(count);
    if (!m_multi) {
        for (auto& r : batch.results) r.code = CURLE_FAILED_INIT;
        return std::move(batch.results);
    }
    while (!batch.waiting.empty() || !batch.active.empty()) {
        StartWaiting(batch, build);
        if (batch.active.empty()) continue;
        int running = 0;
        if (curl_multi_perform(m_multi, &running) != CURLM_OK) break;
        if (running == static_cast<int>(batch.active.size())) {
            curl_multi_poll(m_multi, nullptr, 0, 100, nullptr);
        }
        CollectDone(batch);
    }
    // Only when libcurl itself failed: whatever was under way or waiting has no answer.
    for (auto& t : batch.active) {
        curl_multi_remove_handle(m_multi, t->handle);
        t->result.code = CURLE_RECV_ERROR;
        batch.Finish(std::move(t));
    }
    for (const std::size_t i : batch.waiting) batch.results[i].code = CURLE_RECV_ERROR;
    m_rounds += batch.rounds;
    return std::move(batch.results);
}

void HttpSession::StartWaiting(Batch& batch, const Builder& build) {
    while (!batch.waiting.empty() && static_cast<int>(batch.active.size()) < m_parallel) {
        auto t = std::make_unique<Transfer>();
        t->index = batch.waiting.front();
        batch.waiting.pop_front();
        t->depth = std::max(batch.depthWhenQueued[t->index], batch.freedDepth) + 1;
        if (!Start(*t, build(t->index))) {
            batch.Finish(std::move(t));
            continue;
        }
        batch.active.push_back(std::move(t));
    }
}

void HttpSession::CollectDone(Batch& batch) {
    CURLMsg* message = nullptr;
    int left = 0;
    while ((message = curl_multi_info_read(m_multi, &left)) != nullptr) {
        if (message->msg != CURLMSG_DONE) continue;
        const auto it = std::find_if(batch.active.begin(), batch.active.end(),
                                     [&](const auto& t) { return t->handle == message->easy_handle; });
        if (it == batch.active.end()) continue;
        std::unique_ptr<Transfer> t = std::move(*it);
        batch.active.erase(it);
        t->result.code = message->data.result;
        curl_multi_remove_handle(m_multi, t->handle);
        ReadOutcome(*t);
        if (!SentAgain(batch, *t)) batch.Finish(std::move(t));
    }
}

void HttpSession::ReadOutcome(Transfer& t) {
    HttpResult& r = t.result;
    curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &r.status);
    long connects = 0;
    curl_easy_getinfo(t.handle, CURLINFO_NUM_CONNECTS, &connects);
    m_connections += static_cast<int>(connects);
    curl_off_t connectTime = 0;
    curl_easy_getinfo(t.handle, CURLINFO_CONNECT_TIME_T, &connectTime);
    curl_easy_getinfo(t.handle, CURLINFO_OS_ERRNO, &r.osErrno);
    // A kept-alive connection has no connect time of its own; that the request went out shows it too.
    long requestBytes = 0;
    curl_easy_getinfo(t.handle, CURLINFO_REQUEST_SIZE, &requestBytes);
    r.connected = connectTime > 0 || requestBytes > 0 || t.statusLines > 0;
    r.error = t.error;
    if (r.tooLarge) r.code = CURLE_FILESIZE_EXCEEDED;
    // libcurl refuses a single header line of over 100 KB as if memory had run out.
    if (r.code == CURLE_OUT_OF_MEMORY && t.statusLines > 0) r.headersTooLarge = true;
    m_requests += t.statusLines > 0 ? t.statusLines : (r.connected ? 1 : 0);
    if (t.statusLines > 0) m_answered.insert(t.origin);
    bool basic = false;
    for (const std::string& value : t.challenges) {
        std::string why;
        auto c = ParseDigestChallenge(value, &why);
        if (c && (!t.offered || c->algorithm.rfind("SHA-256", 0) == 0)) t.offered = c;
        if (!why.empty() && r.unanswerable.empty()) r.unanswerable = why;
        basic = basic || OffersScheme(value, "basic");
    }
    r.digestChallenge = t.offered.has_value();
    if (r.digestChallenge) r.unanswerable.clear();
    r.basicOnly = basic && !r.digestChallenge && r.unanswerable.empty();
}

bool HttpSession::SentAgain(Batch& batch, const Transfer& t) {
    const HttpResult& r = t.result;
    const std::optional<DigestChallenge>& challenge = t.offered;
    const std::size_t i = t.index;
    const bool inTime = Clock::now() < m_deadline;
    // A challenge is answered once; again only for a nonce the device says has gone stale, or one
    // that changed while this request was under way. A second plain refusal is wrong credentials.
    if (r.code == CURLE_OK && (r.status == 401 || r.status == 400) && challenge && !m_user.empty() &&
        inTime && batch.challenges[i] < kMaxChallenges &&
        (t.nonceUsed.empty() || challenge->stale || (m_challenge && m_challenge->nonce != t.nonceUsed))) {
        if (!m_challenge || m_challenge->nonce != challenge->nonce) {
            m_challenge = challenge;
            m_nonceCount = 0;
        }
        ++batch.challenges[i];
        batch.SendAgain(t, true);
        return true;
    }
    // Turned away without a word: the device is out of connection slots. Use fewer, send again.
    const bool refusedByKnownDevice = r.code == CURLE_COULDNT_CONNECT && m_answered.count(t.origin);
    if (((ClosedUnanswered(r.code) && t.statusLines == 0) || refusedByKnownDevice) &&
        batch.resends[i] < kMaxResends && inTime) {
        m_parallel = std::max(1, std::min(m_parallel, static_cast<int>(batch.active.size())));
        ++batch.resends[i];
        batch.SendAgain(t, false);
        return true;
    }
    return false;
}

}  // namespace onvifc

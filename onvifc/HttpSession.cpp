#include "HttpSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <memory>

#include "CurlReply.h"
#include "Url.h"

namespace onvifc {

namespace {

constexpr int kMaxResends = 4;     // per request, for connections turned away
constexpr int kMaxChallenges = 2;  // per request: the first challenge, and one stale nonce

// What a finished transfer's code and state mean, in our words.
Transport TransportOf(CURLcode code, long osErrno, const CurlReply& reply) {
    if (reply.headersTooLarge) return Transport::HeadersTooLarge;
    if (reply.bodyTooLarge) return Transport::BodyTooLarge;
    switch (code) {
        case CURLE_OK:
            return Transport::Ok;
        case CURLE_OPERATION_TIMEDOUT:
            return Transport::TimedOut;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Transport::Unsupported;
        case CURLE_COULDNT_RESOLVE_HOST:
            return Transport::HostNotFound;
        case CURLE_COULDNT_CONNECT:
            if (osErrno == ECONNREFUSED) return Transport::Refused;
            if (osErrno == EHOSTUNREACH || osErrno == ENETUNREACH) return Transport::NoRoute;
            return Transport::NoConnection;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return Transport::ClosedUnanswered;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
            return Transport::CertificateRefused;
        case CURLE_SSL_CONNECT_ERROR:
            return Transport::TlsFailed;
        case CURLE_PARTIAL_FILE:
            return Transport::CutShort;
        case CURLE_FILESIZE_EXCEEDED:
        case CURLE_WRITE_ERROR:
            return Transport::BodyTooLarge;
        case CURLE_WEIRD_SERVER_REPLY:
            return Transport::NotHttp;
        case CURLE_OUT_OF_MEMORY:
            // libcurl refuses a single header line of over 100 KB as if memory had run out.
            return reply.statusLines > 0 ? Transport::HeadersTooLarge : Transport::Failed;
        default:
            return Transport::Failed;
    }
}

}  // namespace

struct HttpSession::Transfer {
    std::size_t index = 0;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    std::string origin;
    std::string nonceUsed;  // the Digest nonce this request answered, if any
    int depth = 1;          // how many waits, one after another, led to its answer
    CurlReply reply{"HTTP/", kMaxBody};
    std::optional<DigestChallenge> offered;  // the one to answer: SHA-256 before MD5
    HttpResult result;
    char error[CURL_ERROR_SIZE] = {};
    ~Transfer() {
        curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }
};

HttpSession::HttpSession(Clock::time_point deadline, std::string user, std::string password)
    : m_deadline(deadline), m_user(std::move(user)), m_password(std::move(password)) {
    CurlGlobalInit();
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
        t.result.transport = remaining.count() > 0 ? Transport::Unsupported : Transport::TimedOut;
        // Out of time before it could go out: a device that has answered before answers too slowly.
        t.result.budgetSpent = remaining.count() <= 0;
        t.result.connected = url && m_answered.count(Origin(*url)) > 0;
        return false;
    }
    t.origin = Origin(*url);
    CURL* h = t.handle;
    const char* method = request.get ? "GET" : "POST";
    if (!request.get) {
        const std::string contentType =
            "Content-Type: application/soap+xml; charset=utf-8; action=\"" + request.action + "\"";
        t.headers = curl_slist_append(t.headers, contentType.c_str());
        t.headers = curl_slist_append(t.headers, "Expect:");
    }
    if (m_digest.Active() && !m_user.empty()) {
        // Answered by us on every request, so no request ever goes out without its body to learn a nonce.
        const std::string authorization =
            "Authorization: " + m_digest.Answer(m_user, m_password, method, url->pathAndQuery, request.body);
        t.headers = curl_slist_append(t.headers, authorization.c_str());
        t.nonceUsed = m_digest.Nonce();
    }
    // The address without any user part: libcurl would otherwise send it as Basic credentials.
    const std::string target = Origin(*url) + url->pathAndQuery;
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");  // never hand a device's credentials to a proxy
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (request.get) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, request.body.c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min(kConnectTimeout, remaining).count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(request.timeout, remaining).count()));
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBody));
    t.reply = CurlReply("HTTP/", request.maxBody);
    t.reply.Attach(h);
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

// The state of one SendAll: which requests wait, which are under way, how often each was sent again.
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

std::vector<HttpResult> HttpSession::SendAll(std::size_t count, const Builder& build) {
    Batch batch(count);
    if (!m_multi) {
        for (auto& r : batch.results) r.transport = Transport::Failed;
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
        t->result.transport = Transport::ClosedUnanswered;
        batch.Finish(std::move(t));
    }
    for (const std::size_t i : batch.waiting) batch.results[i].transport = Transport::ClosedUnanswered;
    m_counts.rounds += batch.rounds;
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
        curl_multi_remove_handle(m_multi, t->handle);
        ReadOutcome(*t, message->data.result);
        if (!SentAgain(batch, *t)) batch.Finish(std::move(t));
    }
}

void HttpSession::ReadOutcome(Transfer& t, int code) {
    HttpResult& r = t.result;
    curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &r.status);
    long connects = 0;
    curl_easy_getinfo(t.handle, CURLINFO_NUM_CONNECTS, &connects);
    m_counts.connections += static_cast<int>(connects);
    curl_off_t connectTime = 0;
    curl_easy_getinfo(t.handle, CURLINFO_CONNECT_TIME_T, &connectTime);
    long osErrno = 0;
    curl_easy_getinfo(t.handle, CURLINFO_OS_ERRNO, &osErrno);
    // A kept-alive connection has no connect time of its own; that the request went out shows it too.
    long requestBytes = 0;
    curl_easy_getinfo(t.handle, CURLINFO_REQUEST_SIZE, &requestBytes);
    const int statusLines = t.reply.statusLines;
    r.connected = connectTime > 0 || requestBytes > 0 || statusLines > 0;
    r.transport = TransportOf(static_cast<CURLcode>(code), osErrno, t.reply);
    r.detail = t.error;
    r.body = std::move(t.reply.body);
    const char* contentType = nullptr;
    if (curl_easy_getinfo(t.handle, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType)
        r.contentType = std::string(contentType).substr(0, 64);
    m_counts.requests += statusLines > 0 ? statusLines : (r.connected ? 1 : 0);
    if (statusLines > 0) m_answered.insert(t.origin);
    bool basic = false;
    for (const std::string& value : t.reply.challenges) {
        std::string why;
        auto c = ParseDigestChallenge(value, &why);
        if (c && (!t.offered || c->algorithm.rfind("SHA-256", 0) == 0)) t.offered = c;
        if (!why.empty() && r.unanswerable.empty()) r.unanswerable = why;
        basic = basic || OffersScheme(value, "basic");
    }
    r.digestChallenge = t.offered.has_value();
    if (r.digestChallenge) r.unanswerable.clear();
    r.basicOnly = basic && !r.digestChallenge && r.unanswerable.empty();
    r.digestAnswered = !t.nonceUsed.empty();
    r.digestRefused = r.digestAnswered && (r.status == 401 || (r.status == 400 && r.digestChallenge));
}

bool HttpSession::SentAgain(Batch& batch, const Transfer& t) {
    const HttpResult& r = t.result;
    const std::optional<DigestChallenge>& challenge = t.offered;
    const std::size_t i = t.index;
    const bool inTime = Clock::now() < m_deadline;
    // A challenge is answered once; again only for a nonce the device says has gone stale, or one
    // that changed while this request was under way. A second plain refusal is wrong credentials.
    if (r.transport == Transport::Ok && (r.status == 401 || r.status == 400) && challenge &&
        !m_user.empty() && inTime && batch.challenges[i] < kMaxChallenges &&
        (t.nonceUsed.empty() || challenge->stale || (m_digest.Active() && m_digest.Nonce() != t.nonceUsed))) {
        if (!m_digest.Active() || m_digest.Nonce() != challenge->nonce) m_digest.Take(*challenge);
        ++batch.challenges[i];
        batch.SendAgain(t, true);
        return true;
    }
    // Turned away without a word: the device is out of connection slots. Use fewer, send again.
    const bool closedUnanswered = r.transport == Transport::ClosedUnanswered && t.reply.statusLines == 0;
    const bool refusedByKnownDevice =
        (r.transport == Transport::Refused || r.transport == Transport::NoRoute ||
         r.transport == Transport::NoConnection) &&
        m_answered.count(t.origin);
    if ((closedUnanswered || refusedByKnownDevice) && batch.resends[i] < kMaxResends && inTime) {
        m_parallel = std::max(1, std::min(m_parallel, static_cast<int>(batch.active.size())));
        ++batch.resends[i];
        batch.SendAgain(t, false);
        return true;
    }
    return false;
}

}  // namespace onvifc

#include "Http.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

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

}  // namespace

struct HttpSession::Transfer {
    HttpResult result;
    curl_slist* headers = nullptr;
    int statusLines = 0;
    ~Transfer() { curl_slist_free_all(headers); }

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
        if (StartsWithNoCase(data, n, "HTTP/")) {
            ++t->statusLines;
            t->result.body.clear();  // a body that came with a challenge is not the answer
        }
        if (StartsWithNoCase(data, n, "WWW-Authenticate:")) {
            std::string value(data + 17, n - 17);
            value.erase(0, value.find_first_not_of(" \t"));
            if (StartsWithNoCase(value.c_str(), value.size(), "Digest")) t->result.digestChallenge = true;
        }
        return n;
    }
};

HttpSession::HttpSession(Clock::time_point deadline) : m_deadline(deadline) {
    GlobalInit();
    m_multi = curl_multi_init();
}

HttpSession::~HttpSession() {
    for (CURL* h : m_handles) curl_easy_cleanup(h);
    if (m_multi) curl_multi_cleanup(m_multi);
}

void HttpSession::UseDigest(const std::string& user, const std::string& password) {
    m_digest = true;
    m_user = user;
    m_password = password;
}

CURL* HttpSession::TakeHandle() {
    if (!m_handles.empty()) {
        // Not reset: a handle keeps its HTTP Digest nonce, so the next request can answer at once instead
        // of being challenged again. Every option a request needs is set anew.
        CURL* h = m_handles.back();
        m_handles.pop_back();
        return h;
    }
    return curl_easy_init();
}

std::vector<HttpResult> HttpSession::PostAll(const std::vector<HttpRequest>& requests) {
    std::vector<HttpResult> results(requests.size());
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
    if (remaining.count() <= 0 || !m_multi) {
        for (auto& r : results) r.code = m_multi ? CURLE_OPERATION_TIMEDOUT : CURLE_FAILED_INIT;
        return results;
    }
    ++m_rounds;
    std::vector<std::unique_ptr<Transfer>> transfers;
    std::vector<CURL*> active;
    for (const HttpRequest& request : requests) {
        auto t = std::make_unique<Transfer>();
        CURL* h = TakeHandle();
        if (!h) {
            t->result.code = CURLE_FAILED_INIT;
            transfers.push_back(std::move(t));
            active.push_back(nullptr);
            continue;
        }
        const std::string contentType =
            "Content-Type: application/soap+xml; charset=utf-8; action=\"" + request.action + "\"";
        t->headers = curl_slist_append(t->headers, contentType.c_str());
        t->headers = curl_slist_append(t->headers, "Expect:");
        curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_PROXY, "");  // never hand a device's credentials to a proxy
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, request.body.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, t->headers);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(kConnectTimeout, remaining).count()));
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(kRequestTimeout, remaining).count()));
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBody));
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, t.get());
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, t.get());
        curl_easy_setopt(h, CURLOPT_PRIVATE, t.get());
        if (m_digest) {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
            curl_easy_setopt(h, CURLOPT_USERNAME, m_user.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, m_password.c_str());
        }
        curl_multi_add_handle(m_multi, h);
        active.push_back(h);
        transfers.push_back(std::move(t));
    }

    int running = 0;
    do {
        if (curl_multi_perform(m_multi, &running) != CURLM_OK) break;
        if (running > 0) curl_multi_poll(m_multi, nullptr, 0, 100, nullptr);
    } while (running > 0);

    CURLMsg* message = nullptr;
    int left = 0;
    while ((message = curl_multi_info_read(m_multi, &left)) != nullptr) {
        if (message->msg != CURLMSG_DONE) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
        if (t) t->result.code = message->data.result;
    }
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        CURL* h = active[i];
        Transfer& t = *transfers[i];
        if (h) {
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &t.result.status);
            long connects = 0;
            curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
            m_connections += static_cast<int>(connects);
            curl_off_t connectTime = 0;
            curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectTime);
            t.result.connected = connectTime > 0 || t.statusLines > 0;
            curl_multi_remove_handle(m_multi, h);
            m_handles.push_back(h);
        }
        if (t.result.tooLarge) t.result.code = CURLE_FILESIZE_EXCEEDED;
        m_requests += t.statusLines > 0 ? t.statusLines : (t.result.connected ? 1 : 0);
        results[i] = std::move(t.result);
    }
    return results;
}

}  // namespace onvifc

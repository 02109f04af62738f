#include "CurlReply.h"

#include <strings.h>

#include <cstring>
#include <mutex>

namespace onvifc {

namespace {

bool StartsWithNoCase(const char* text, std::size_t length, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return length >= n && ::strncasecmp(text, prefix, n) == 0;
}

}  // namespace

void CurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void CurlReply::Attach(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlReply::OnBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CurlReply::OnHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
}

void CurlReply::Reset() {
    body.clear();
    challenges.clear();
    m_headerBytes = 0;
}

size_t CurlReply::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<CurlReply*>(self);
    const size_t n = size * count;
    if (r->body.size() + n > r->m_maxBody) {
        r->bodyTooLarge = true;
        return 0;  // aborts the transfer
    }
    r->body.append(data, n);
    return n;
}

size_t CurlReply::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<CurlReply*>(self);
    const size_t n = size * count;
    r->m_headerBytes += n;
    if (r->m_headerBytes > kMaxHeaderBytes) {
        r->headersTooLarge = true;
        return 0;  // aborts the transfer
    }
    if (StartsWithNoCase(data, n, r->m_statusPrefix)) {
        ++r->statusLines;
        r->body.clear();
        r->challenges.clear();
    }
    if (StartsWithNoCase(data, n, "WWW-Authenticate:")) {
        std::string value(data + 17, n - 17);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        r->challenges.push_back(value);
    }
    return n;
}

}  // namespace onvifc

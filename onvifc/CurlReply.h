#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "HttpSession.h"  // kMaxHeaderBytes

namespace onvifc {

// What one libcurl transfer answered, read within bounds, for HTTP and RTSP alike: the body of the last
// answer (at most `maxBody` bytes), its WWW-Authenticate values, how many status lines came.
struct CurlReply {
    CurlReply(const char* statusPrefix, std::size_t maxBody)
        : m_statusPrefix(statusPrefix), m_maxBody(maxBody) {}

    // Sets the write and header callbacks of `handle` to this reply.
    void Attach(CURL* handle);
    // Ready for another answer on the same handle.
    void Reset();

    std::string body;
    std::vector<std::string> challenges;  // of the last answer
    int statusLines = 0;                  // interim answers included
    bool bodyTooLarge = false;
    bool headersTooLarge = false;  // more than kMaxHeaderBytes

private:
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    const char* m_statusPrefix;  // "HTTP/" or "RTSP/"
    std::size_t m_maxBody;
    std::size_t m_headerBytes = 0;
};

// libcurl's one-time set-up, once per process, before any handle.
void CurlGlobalInit();

}  // namespace onvifc

#include "HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Net.h"

namespace fakecam {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 4 << 20;
constexpr auto kIdle = std::chrono::seconds(20);

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 453:
            return "Not Enough Bandwidth";
        case 454:
            return "Session Not Found";
        case 455:
            return "Method Not Valid in This State";
        case 413:
            return "Payload Too Large";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

struct HttpServer::Connection {
    int id = 0;
    int fd = -1;
    SSL* ssl = nullptr;
    std::string buffered;
    ~Connection() {
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        if (fd >= 0) ::close(fd);
    }
    // Some bytes, or false on end, error, stop or idle time-out.
    bool ReadMore(const std::atomic<bool>& stopping) {
        const auto idleUntil = Clock::now() + kIdle;
        char buf[16384];
        while (!stopping && Clock::now() < idleUntil) {
            if (!ssl || SSL_pending(ssl) == 0) {
                pollfd p{fd, POLLIN, 0};
                const int ready = ::poll(&p, 1, 100);
                if (ready == 0) continue;
                if (ready < 0 && errno == EINTR) continue;
                if (ready < 0) return false;
            }
            const int n =
                ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
            if (n > 0) {
                buffered.append(buf, static_cast<std::size_t>(n));
                return true;
            }
            if (ssl && SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
            if (!ssl && n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;
        }
        return false;
    }
    bool Write(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const int n =
                ssl ? SSL_write(ssl, data.data() + sent, static_cast<int>(data.size() - sent))
                    : static_cast<int>(::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL));
            if (n <= 0) {
                if (!ssl && n < 0 && errno == EINTR) continue;
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
};

HttpServer::HttpServer(Handler handler, Logger log) : m_handler(std::move(handler)), m_log(std::move(log)) {}

HttpServer::~HttpServer() {
    Stop();
    if (m_tls) SSL_CTX_free(static_cast<SSL_CTX*>(m_tls));
}

namespace {

// A certificate for `name` (an IPv4 address or a host name) over `key`, signed by `issuerKey` under
// `issuer`'s name, or by itself when there is no issuer. A CA certificate may sign others.
X509* MakeCertificate(EVP_PKEY* key, const std::string& name, X509* issuer, EVP_PKEY* issuerKey, bool ca,
                      long serial) {
    X509* cert = X509_new();
    if (!cert) return nullptr;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    in_addr ip{};
    const std::string san = (::inet_pton(AF_INET, name.c_str(), &ip) == 1 ? "IP:" : "DNS:") + name;
    std::vector<std::pair<int, std::string>> extensions;
    if (ca) {
        extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                      {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    } else {
        extensions = {{NID_subject_alt_name, san}};
    }
    for (const auto& [nid, value] : extensions) {
        if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str())) {
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
    }
    if (X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) <= 0) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

}  // namespace

bool HttpServer::MakeTlsContext(const std::string& address, const std::string& certificateOut,
                                const std::string& tlsName) {
    // As a camera makes it for itself: self-signed, its address as the only name. With a name of its
    // own: signed by a CA of the test's, whose certificate is the one written out.
    EVP_PKEY* key = EVP_EC_gen("P-256");
    EVP_PKEY* caKey = tlsName.empty() ? nullptr : EVP_EC_gen("P-256");
    X509* ca = caKey ? MakeCertificate(caKey, "fakecam test CA", nullptr, nullptr, true, 1) : nullptr;
    X509* cert = key && (tlsName.empty() || ca)
                     ? MakeCertificate(key, tlsName.empty() ? address : tlsName, ca, caKey, false, 2)
                     : nullptr;
    bool ok = cert != nullptr;
    SSL_CTX* ctx = ok ? SSL_CTX_new(TLS_server_method()) : nullptr;
    ok = ctx && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    if (ok && !certificateOut.empty()) {
        FILE* f = std::fopen(certificateOut.c_str(), "w");
        ok = f && PEM_write_X509(f, ca ? ca : cert) == 1;
        if (f) std::fclose(f);
    }
    if (ok) {
        m_tls = ctx;
    } else if (ctx) {
        SSL_CTX_free(ctx);
    }
    X509_free(cert);
    X509_free(ca);
    EVP_PKEY_free(key);
    EVP_PKEY_free(caKey);
    return ok;
}

bool HttpServer::Start(const std::string& address, int port, int maxConnections, bool tls,
                       const std::string& certificateOut, const std::string& tlsName) {
    m_maxConnections = maxConnections;
    m_port = port;
    if (tls && !MakeTlsContext(address, certificateOut, tlsName)) return false;
    sockaddr_storage addr{};
    socklen_t length = 0;
    if (!SocketAddress(address, port, addr, length)) return false;
    m_listener = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0) return false;
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(m_listener, 64) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void HttpServer::Stop() {
    m_stopping = true;
    if (m_acceptThread.joinable()) m_acceptThread.join();
    if (m_listener >= 0) ::close(m_listener);
    m_listener = -1;
    // Connection threads notice within 100 ms; a handler may still be in a delay of its own.
    for (int i = 0; i < 200 && m_open > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void HttpServer::AcceptLoop() {
    while (!m_stopping) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int id = ++m_accepted;
        if (m_maxConnections > 0 && m_open >= m_maxConnections) {
            // Out of slots: small devices close such a connection at once, without a word.
            m_log("connection " + std::to_string(id) +
                  " closed unanswered: no free slot port=" + std::to_string(m_port));
            ::close(fd);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<Connection>();
        c->id = id;
        c->fd = fd;
        m_log("connection " + std::to_string(id) + " open port=" + std::to_string(m_port));
        ++m_open;
        std::thread([this, conn = std::move(c)]() mutable {
            Serve(std::move(conn));
            --m_open;
        }).detach();
    }
}

// Reads one request off the connection: its head, then as much body as Content-Length says. False when the
// connection ends first or the request is refused (413 is sent).
bool HttpServer::ReadRequest(Connection& c, HttpRequest& request, std::string& version) {
    std::size_t headEnd;
    while ((headEnd = c.buffered.find("\r\n\r\n")) == std::string::npos) {
        if (c.buffered.size() > kMaxHead || !c.ReadMore(m_stopping)) return false;
    }
    request.connection = c.id;
    request.port = m_port;
    const std::string head = c.buffered.substr(0, headEnd);
    c.buffered.erase(0, headEnd + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.find(' ', sp1 == std::string::npos ? sp1 : sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    version = requestLine.substr(sp2 + 1);
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            request.headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
    }
    const std::string lengthText = request.Header("content-length");
    std::size_t length = 0;
    if (!lengthText.empty()) {
        char* end = nullptr;
        length = std::strtoul(lengthText.c_str(), &end, 10);
        if (*end != '\0' || length > kMaxBody) {
            c.Write("HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return false;
        }
    }
    while (c.buffered.size() < length) {
        if (!c.ReadMore(m_stopping)) return false;
    }
    request.body = c.buffered.substr(0, length);
    c.buffered.erase(0, length);
    return true;
}

namespace {

// The response as it goes on the wire; "cut short" keeps only half of its body.
std::string FormatResponse(const std::string& protocol, const HttpResponse& response, bool close) {
    std::string out =
        protocol + " " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
    if (!response.contentType.empty()) out += "Content-Type: " + response.contentType + "\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    for (const auto& [name, value] : response.moreHeaders) out += name + ": " + value + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n" + response.body;
    if (response.cutShort) out.resize(out.size() - response.body.size() / 2);
    return out;
}

}  // namespace

void HttpServer::Serve(std::unique_ptr<Connection> c) {
    if (m_tls) {
        c->ssl = SSL_new(static_cast<SSL_CTX*>(m_tls));
        SSL_set_fd(c->ssl, c->fd);
        timeval handshake{5, 0};
        ::setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &handshake, sizeof handshake);
        if (SSL_accept(c->ssl) != 1) {
            m_log("connection " + std::to_string(c->id) + " TLS handshake failed");
            return;
        }
    }
    while (!m_stopping) {
        HttpRequest request;
        std::string version;
        if (!ReadRequest(*c, request, version)) return;
        HttpResponse response;
        m_handler(request, response);
        if (response.drop || m_stopping) return;
        // RTSP keeps its connection as HTTP/1.1 does.
        const bool close = (version != "HTTP/1.1" && version != "RTSP/1.0") ||
                           Lower(request.Header("connection")) == "close";
        if (!c->Write(FormatResponse(m_protocol, response, close)) || close || response.cutShort) return;
    }
}

}  // namespace fakecam

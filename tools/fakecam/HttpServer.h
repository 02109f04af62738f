#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fakecam {

struct HttpRequest {
    int connection = 0;  // which connection it came on, counted from 1
    int port = 0;        // the port it came to
    std::string method;
    std::string target;                          // path and query as sent
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string Header(const std::string& lowerName) const {
        const auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    std::map<std::string, std::string> headers;
    std::vector<std::pair<std::string, std::string>> moreHeaders;  // after those, a name may come twice
    bool drop = false;                                             // close the connection without any answer
    bool cutShort = false;  // announce the whole body, send half of it and close, as a crashing server does
};

// A small HTTP/1.1 server as embedded devices have one: keep-alive, a fixed number of connection
// slots (further connections are closed without an answer), optionally TLS with a self-signed
// certificate made at start-up. Each connection is served on a thread of its own.
class HttpServer {
public:
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;
    using Logger = std::function<void(const std::string&)>;

    HttpServer(Handler handler, Logger log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // maxConnections 0: no limit. certificateOut: where to write the certificate (PEM), when TLS; with
    // tlsName, the certificate is for that name and signed by a CA made here, whose certificate is written.
    bool Start(const std::string& address, int port, int maxConnections, bool tls,
               const std::string& certificateOut = {}, const std::string& tlsName = {});
    void Stop();
    // Answers as this protocol ("RTSP/1.0" for an RTSP server; the framing is the same).
    void SetProtocol(std::string protocol) { m_protocol = std::move(protocol); }

private:
    struct Connection;
    void AcceptLoop();
    void Serve(std::unique_ptr<Connection> c);
    bool ReadRequest(Connection& c, HttpRequest& request, std::string& version);
    bool MakeTlsContext(const std::string& address, const std::string& certificateOut,
                        const std::string& tlsName);

    Handler m_handler;
    Logger m_log;
    std::string m_protocol = "HTTP/1.1";
    int m_listener = -1;
    int m_port = 0;
    int m_maxConnections = 0;
    void* m_tls = nullptr;  // SSL_CTX
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_open{0};
    int m_accepted = 0;
};

}  // namespace fakecam

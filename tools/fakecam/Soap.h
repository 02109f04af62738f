#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "Options.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace fakecam {

// The HTTP Digest (RFC 2617, MD5, qop=auth) response a client must send.
std::string DigestResponse(const std::string& user, const std::string& realm, const std::string& password,
                           const std::string& method, const std::string& uri, const std::string& nonce,
                           const std::string& nc, const std::string& cnonce, const std::string& qop);

// The simulated devices' device and media services over HTTP (SOAP 1.2), with WS-UsernameToken and
// HTTP Digest authentication and fault modes for tests. Device i serves below /cam<i>/onvif/.
class SoapServer {
public:
    explicit SoapServer(const Options& o);
    ~SoapServer();
    bool Start();  // binds and serves on a thread of its own
    void Stop();

private:
    void Handle(const httplib::Request& req, httplib::Response& res);
    bool DigestValid(const httplib::Request& req);
    void Challenge(httplib::Response& res);
    std::string Answer(int device, const std::string& operation, const std::string& service);
    std::string ServiceUrl(int device, const std::string& service) const;

    Options m_options;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::set<std::string> m_nonces;  // digest nonces we handed out
};

}  // namespace fakecam

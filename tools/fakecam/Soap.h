#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "Digest.h"
#include "HttpServer.h"
#include "Options.h"
#include "Snapshot.h"

namespace tinyxml2 {
class XMLElement;
}

namespace fakecam {

// The simulated devices' device and media services over HTTP (SOAP 1.2), with WS-UsernameToken and
// HTTP Digest authentication, the manners of embedded servers, and fault modes for tests. Device i
// serves below /cam<i>/onvif/.
class SoapServer {
public:
    explicit SoapServer(const Options& o);
    ~SoapServer();
    bool Start();  // binds and serves on threads of its own
    void Stop();
    void Log(const std::string& line);  // one line of the log file, from any thread

private:
    void Handle(const HttpRequest& req, HttpResponse& res);
    // The answer to one request; names the operation and whether a WS-Security token came with it.
    void Respond(const HttpRequest& req, HttpResponse& res, std::string& operation, bool& token);
    bool Behave(const HttpRequest& req, HttpResponse& res);
    void Wait(int ms) const;
    bool CannedFault(HttpResponse& res);
    bool TokenValid(const tinyxml2::XMLElement* usernameToken) const;
    void AnswerOperation(int device, const std::string& service, const std::string& operation,
                         const tinyxml2::XMLElement* payload, HttpResponse& res);
    void Challenge(HttpResponse& res, bool stale = false);
    std::string Answer(int device, const std::string& operation, const std::string& service);
    std::string DeviceAnswer(int device, const std::string& operation, bool media1, bool media2);
    std::string MediaAnswer(int device, const std::string& operation, bool isMedia2);
    std::string ServiceUrl(int device, const std::string& service) const;

    Options m_options;
    std::unique_ptr<HttpServer> m_server;
    std::unique_ptr<HttpServer> m_plainServer;  // --plain-port
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    DigestServer m_digest;
    SnapshotService m_snapshots;
    std::FILE* m_log = nullptr;
};

}  // namespace fakecam

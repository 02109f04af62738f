#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Digest.h"
#include "HttpServer.h"
#include "Options.h"

namespace fakecam {

// The simulated devices' RTSP side, as far as a client asks before it plays: OPTIONS and DESCRIBE of
// /cam<i>/<profile token>, with the account of --rtsp-auth (Digest with a realm and nonces of its own,
// often without qop as cameras do; Basic; or none), an SDP with the profile's H.264 parameters, 404 for
// anything else. SETUP and PLAY are refused: no stream is ever sent.
class RtspServer {
public:
    RtspServer(const Options& o, std::function<void(const std::string&)> log);
    bool Start();
    void Stop();

private:
    void Handle(const HttpRequest& req, HttpResponse& res);
    // SETUP, PLAY and the rest, with --rtsp-play.
    void Play(const HttpRequest& req, HttpResponse& res);
    bool Authorized(const HttpRequest& req, HttpResponse& res);
    std::string Sdp(int device, const std::string& token) const;

    Options m_options;
    std::function<void(const std::string&)> m_log;
    DigestServer m_digest;
    std::unique_ptr<HttpServer> m_server;
};

}  // namespace fakecam

// RTSP DESCRIBE (RFC 2326) as cameras answer it, written on its own.
#include "Rtsp.h"

#include <chrono>
#include <regex>
#include <thread>

#include "Net.h"
#include "Profiles.h"

namespace fakecam {

namespace {

DigestPolicy RtspPolicy() {
    DigestPolicy p;
    p.realm = "fakecam RTSP";
    p.qop = false;  // RFC 2069 answers, as most cameras ask for
    return p;
}

}  // namespace

RtspServer::RtspServer(const Options& o, std::function<void(const std::string&)> log)
    : m_options(o), m_log(std::move(log)), m_digest(RtspPolicy()) {
    m_server = std::make_unique<HttpServer>(
        [this](const HttpRequest& req, HttpResponse& res) { Handle(req, res); }, m_log);
    m_server->SetProtocol("RTSP/1.0");
}

bool RtspServer::Start() {
    return m_server->Start(m_options.bind, m_options.rtspPort, m_options.rtspMaxConnections, false);
}

void RtspServer::Stop() { m_server->Stop(); }

bool RtspServer::Authorized(const HttpRequest& req, HttpResponse& res) {
    const Options& o = m_options;
    const std::string password = o.rtspPassword.empty() ? o.password : o.rtspPassword;
    const std::string authorization = req.Header("authorization");
    if (o.rtspAuth == "none") return true;
    if (o.rtspAuth == "both" && authorization == "Basic " + Base64(o.user + ":" + password)) return true;
    if (o.rtspAuth == "basic") {
        if (authorization == "Basic " + Base64(o.user + ":" + password)) return true;
        res.status = 401;
        res.headers["WWW-Authenticate"] = "Basic realm=\"fakecam RTSP\"";
        return false;
    }
    const auto verdict = m_digest.Check(authorization, req.method, req.target, o.user, password);
    if (verdict == DigestServer::Verdict::Valid) return true;
    res.status = 401;
    // Servers that offer both list Basic first, each in a header of its own.
    if (o.rtspAuth == "both")
        res.moreHeaders.emplace_back("WWW-Authenticate", "Basic realm=\"fakecam RTSP\"");
    res.moreHeaders.emplace_back("WWW-Authenticate",
                                 m_digest.Challenge(verdict == DigestServer::Verdict::Stale));
    return false;
}

void RtspServer::Handle(const HttpRequest& req, HttpResponse& res) {
    const Options& o = m_options;
    for (int waited = 0; waited < o.delayMs; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    res.headers["CSeq"] = req.Header("cseq");
    static const std::regex route(R"(rtsp://[^/]*/cam(\d{1,6})/([A-Za-z0-9_]+)(/[A-Za-z]+)?(\?.*)?)");
    std::smatch match;
    const bool known = std::regex_match(req.target, match, route) && std::stoi(match[1]) < o.devices &&
                       !match[3].matched && FindProfile(DeviceProfiles(o), match[2]) != nullptr;
    if (req.method == "OPTIONS") {
        res.headers["Public"] = o.rtspPlay.empty()
                                    ? "OPTIONS, DESCRIBE"
                                    : "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER";
    } else if (!o.rtspPlay.empty() && req.method != "DESCRIBE") {
        Play(req, res);
    } else if (req.method != "DESCRIBE") {
        res.status = 455;
    } else if (Authorized(req, res)) {
        if (known) {
            res.contentType = "application/sdp";
            res.headers["Content-Base"] = req.target + "/";
            res.body = Sdp(std::stoi(match[1]), match[2]);
        } else {
            res.status = o.rtspUnknownStatus;
        }
    }
    const std::string authorization = req.Header("authorization");
    m_log("rtsp conn=" + std::to_string(req.connection) + " method=" + req.method + " uri=" + req.target +
          " authorization=" +
          (authorization.empty() ? "none" : authorization.substr(0, authorization.find(' '))) +
          " status=" + std::to_string(res.status));
}

void RtspServer::Play(const HttpRequest& req, HttpResponse& res) {
    if (req.method == "TEARDOWN" || req.method == "GET_PARAMETER") return;
    if (req.method != "SETUP" && req.method != "PLAY") {
        res.status = 455;
        return;
    }
    if (!Authorized(req, res)) return;
    // A camera at its limit of streams refuses the SETUP; one whose encoder is stuck plays nothing.
    if (req.method == "SETUP" && m_options.rtspPlay == "453") {
        res.status = 453;
        return;
    }
    if (req.method == "SETUP") {
        const std::string transport = req.Header("transport");
        res.headers["Transport"] = transport.empty() ? "RTP/AVP/TCP;unicast;interleaved=0-1" : transport;
    }
    res.headers["Session"] = "5f2a9c01;timeout=60";
}

std::string RtspServer::Sdp(int device, const std::string& token) const {
    const std::vector<ProfileSpec> profiles = DeviceProfiles(m_options);
    const ProfileSpec* p = FindProfile(profiles, token);
    std::string sdp = "v=0\r\no=- " + std::to_string(device + 1) +
                      (IsIpv6(m_options.bind) ? " 1 IN IP6 " : " 1 IN IP4 ") + WithoutZone(m_options.bind) +
                      "\r\ns=fakecam\r\nt=0 0\r\na=control:*\r\n";
    if (p && p->video && p->encoding == "H265") {
        sdp +=
            "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:96 H265/90000\r\n"
            "a=fmtp:96 sprop-vps=QAEMAf//AWAAAAMAkAAAAwAAAwB4lZgJ;sprop-sps=" +
            Base64(H265Sps(p->width, p->height)) + ";sprop-pps=RAHBcrRiQA==\r\na=control:trackID=1\r\n";
    } else if (p && p->video && p->encoding == "JPEG") {
        sdp += "m=video 0 RTP/AVP 26\r\nc=IN IP4 0.0.0.0\r\na=framesize:26 " + std::to_string(p->width) +
               "-" + std::to_string(p->height) + "\r\na=control:trackID=1\r\n";
    } else if (p && p->video) {
        const std::string pps("\x68\xee\x3c\x80", 4);
        sdp +=
            "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:96 H264/90000\r\n"
            "a=fmtp:96 packetization-mode=1;profile-level-id=4d0028;sprop-parameter-sets=" +
            Base64(H264Sps(p->width, p->height)) + "," + Base64(pps) + "\r\na=control:trackID=1\r\n";
    }
    sdp += "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=control:trackID=2\r\n";
    return sdp;
}

}  // namespace fakecam

#pragma once

// A camera's still pictures as its web server hands them out: the address GetSnapshotUri answers, and a
// GET of it answered with a JPEG made here (a test pattern with the device's name, drawn with Qt), behind
// the web server's own account: Digest, or Basic only as older web servers have it.
#include <map>
#include <mutex>
#include <string>

#include "Digest.h"
#include "HttpServer.h"
#include "Options.h"

namespace fakecam {

// The picture's address for one profile of a device (--snapshot-on-other-host names another host).
std::string SnapshotUri(const Options& o, int device, const std::string& token);

// Device `device`'s test pattern at width × height, as a JPEG; two devices' pictures differ. Needs a
// QGuiApplication (fonts).
std::string SnapshotJpeg(int device, int width, int height);
// A few hundred bytes of progressive JPEG whose frame header declares width x height (a hostile server).
std::string DecompressionBombJpeg(int width, int height);

class SnapshotService {
public:
    explicit SnapshotService(Options o);
    // Whether `req` asks for a picture; if so, `res` is the answer.
    bool Handle(const HttpRequest& req, HttpResponse& res);

private:
    bool Authorized(const HttpRequest& req, HttpResponse& res);

    Options m_options;
    DigestServer m_digest;
    std::mutex m_mutex;
    std::map<std::string, std::string> m_pictures;  // made once per device and profile
};

}  // namespace fakecam

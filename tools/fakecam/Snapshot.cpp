#include "Snapshot.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <regex>

#include "Net.h"
#include "Profiles.h"

namespace fakecam {

std::string SnapshotUri(const Options& o, int device, const std::string& token) {
    // As for its services, a camera serving both ports often names only its plain one.
    const bool plain = !o.tls || o.plainPort > 0;
    const int port = o.plainPort > 0 ? o.plainPort : o.httpPort;
    // Firmware with snapshots turned off answers GetSnapshotUri with an empty address.
    if (o.snapshotHost == "empty") return {};
    const std::string host =
        o.snapshotHost.empty() ? UrlHost(o.bind) + ":" + std::to_string(port) : o.snapshotHost;
    return (plain ? "http://" : "https://") + host + "/cam" + std::to_string(device) + "/snapshot/" + token +
           ".jpg";
}

std::string SnapshotJpeg(int device, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    static const QRgb kBars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000,
                                 0xC000C0, 0xC00000, 0x0000C0, 0x101010};
    QPainter painter(&image);
    for (int i = 0; i < 8; ++i) {
        const int left = width * i / 8;
        const int right = width * (i + 1) / 8;
        painter.fillRect(left, 0, right - left, height, QColor(kBars[(i + device) % 8]));
    }
    const int band = std::max(height / 4, 1);
    const QRect caption(0, (height - band) / 2, width, band);
    painter.fillRect(caption, QColor(16, 16, 16));
    QFont font;
    font.setPixelSize(std::max(6, band / 3));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(caption, Qt::AlignCenter, QStringLiteral("Fake Camera %1").arg(device));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(80);
    if (!writer.write(image)) return {};
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string DecompressionBombJpeg(int width, int height) {
    // A small progressive grey picture whose frame header then claims the size asked: a decoder takes
    // the whole claimed size before it reads a pixel.
    QImage image(16, 16, QImage::Format_Grayscale8);
    image.fill(128);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    if (!writer.write(image)) return {};
    std::string jpeg(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const auto frame = jpeg.find("\xFF\xC2");
    if (frame == std::string::npos || frame + 9 > jpeg.size()) return {};
    jpeg[frame + 5] = static_cast<char>(height >> 8);
    jpeg[frame + 6] = static_cast<char>(height & 0xFF);
    jpeg[frame + 7] = static_cast<char>(width >> 8);
    jpeg[frame + 8] = static_cast<char>(width & 0xFF);
    return jpeg;
}

SnapshotService::SnapshotService(Options o)
    : m_options(std::move(o)), m_digest(DigestPolicy{"fakecam web", m_options.digestAlgorithm}) {}

bool SnapshotService::Authorized(const HttpRequest& req, HttpResponse& res) {
    const Options& o = m_options;
    if (o.auth == "none") return true;
    const std::string authorization = req.Header("authorization");
    if (o.snapshotBasicOnly) {
        if (authorization == "Basic " + Base64(o.user + ":" + o.password)) return true;
        res.headers["WWW-Authenticate"] = "Basic realm=\"fakecam web\"";
    } else {
        const auto verdict = m_digest.Check(authorization, req.method, req.target, o.user, o.password);
        if (verdict == DigestServer::Verdict::Valid) return true;
        res.headers["WWW-Authenticate"] = m_digest.Challenge(verdict == DigestServer::Verdict::Stale);
    }
    res.status = 401;
    res.contentType = "text/html";
    res.body = "<html><body>401 Unauthorized</body></html>";
    return false;
}

bool SnapshotService::Handle(const HttpRequest& req, HttpResponse& res) {
    static const std::regex route(R"(/cam(\d{1,6})/snapshot/([\w.-]{1,64})\.jpg)");
    std::smatch match;
    if (req.method != "GET" || !std::regex_match(req.target, match, route)) return false;
    const Options& o = m_options;
    if (!Authorized(req, res)) return true;
    const int device = std::stoi(match[1]);
    const std::vector<ProfileSpec> profiles = DeviceProfiles(o);
    const ProfileSpec* profile = FindProfile(profiles, match[2]);
    if (device >= o.devices || !profile || !profile->video) {
        res.status = 404;
        return true;
    }
    if (o.snapshotBody == "html") {
        // A web server that wants its own login first answers its login page, with 200.
        res.contentType = "text/html";
        res.body =
            "<html><head><title>Login</title></head><body><form>user <input name=u></form></body></html>";
        return true;
    }
    res.contentType = o.snapshotContentType == "octet-stream" ? "application/octet-stream"
                      : o.snapshotContentType == "text-plain" ? "text/plain"
                                                              : "image/jpeg";
    if (o.snapshotBody == "huge") {
        res.body = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(5u << 20, '\x55');
        return true;
    }
    if (o.snapshotBody == "bomb") {
        res.body = DecompressionBombJpeg(30000, 30000);
        return true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string& picture = m_pictures[req.target];
    if (picture.empty()) picture = SnapshotJpeg(device, profile->width, profile->height);
    res.body = picture;
    // An encoder out of buffer sends what it has under a length that matches: no end marker.
    if (o.snapshotBody == "cut-short") res.body.resize(res.body.size() / 2);
    // Some servers pad the picture.
    if (o.snapshotBody == "padded") res.body += std::string("\r\n\0\0", 4);
    return true;
}

}  // namespace fakecam

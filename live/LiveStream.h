#pragma once

// One RTSP stream read and decoded (FFmpeg: RTSP over TCP, H.264, H.265 and Motion JPEG), frame by frame,
// within bounds whatever the server sends: a picture size a camera can produce, kFrameWait without a frame
// at most, one frame at a time handed on, stopped within kStopWithin from any thread.
#include <QImage>
#include <QSize>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace quorvi::live {

constexpr std::chrono::milliseconds kFrameWait{5000};
constexpr std::chrono::milliseconds kStopWithin{200};
// The largest picture decoded (as for still pictures), and the largest packet a frame may come in.
constexpr std::int64_t kMaxPixels = 64'000'000;
constexpr int kMaxPacketBytes = 32 * 1024 * 1024;

struct Frame {
    QImage image;          // RGB32, at the size asked for (scaled to fit, aspect kept), else the frame's own
    std::string encoding;  // "H264", "H265", "JPEG"
    int width = 0;         // the decoded frame's own size
    int height = 0;
    int number = 0;                         // 1 for the first
    std::chrono::milliseconds sinceOpen{};  // from the start of Run
    double framesPerSecond = 0;             // measured over the frames so far (0 for the first)
};

enum class Outcome {
    Done,         // the frame handler asked for no more
    Stopped,      // Stop()
    NoFrame,      // nothing came within kFrameWait
    Undecodable,  // packets came, no frame decodes (or no video, or an encoding not decoded here)
    SlotsFull,    // RTSP 453 at SETUP or PLAY
    Refused,      // RTSP 401 or 403 with the credentials
    TooLarge,     // a picture larger than kMaxPixels, declared or decoded
    NoServer,     // no connection, or it broke before the stream began
    Failed,       // anything else: the detail says what
};
// "decodes", "stopped", "no-frame", "undecodable", "slots-full", "credentials-refused", "too-large",
// "no-server", "failed".
const char* OutcomeName(Outcome outcome);

class Reader {
public:
    // `url`: rtsp://[user:password@]host[:port]/path, credentials in it only where they may go.
    // `fitInto`: frames scaled to fit (empty: at their own size). `stop`: another flag that stops it too.
    explicit Reader(std::string url, QSize fitInto = {}, const std::atomic<bool>* stop = nullptr);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens the stream and decodes it on the calling thread, handing every frame to `onFrame` (which
    // returns whether it wants more), until it wants no more, Stop(), or a failure. `detail` says what
    // happened in words when it was not Done or Stopped.
    Outcome Run(const std::function<bool(const Frame&)>& onFrame, std::string& detail);
    // From any thread: Run returns within kStopWithin.
    void Stop() { m_stop = true; }
    // From any thread: the size the next frames are scaled to fit.
    void FitInto(QSize size);

private:
    QSize Fit() const;
    bool Stopping() const { return m_stop.load() || (m_otherStop && m_otherStop->load()); }

    std::string m_url;
    mutable std::mutex m_fitMutex;
    QSize m_fitInto;
    std::atomic<bool> m_stop{false};
    const std::atomic<bool>* m_otherStop = nullptr;
};

}  // namespace quorvi::live

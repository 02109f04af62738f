#include "LiveStream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <regex>

namespace quorvi::live {

namespace {

using Clock = std::chrono::steady_clock;

// What FFmpeg logs while one reader runs on this thread: the RTSP status of a failed request is only
// said there ("method SETUP failed: 453 Not Enough Bandwidth").
thread_local std::string* t_log = nullptr;

void Log(void* context, int level, const char* format, va_list args) {
    if (!t_log || level > AV_LOG_WARNING || t_log->size() > 16 * 1024) return;
    char line[1024];
    int prefix = 1;
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(context, level, format, copy, line, sizeof line, &prefix);
    va_end(copy);
    t_log->append(line);
}

void SetUpOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback(Log);
        // No single block larger than a picture at the bound can ask for, whatever a stream declares.
        av_max_alloc(static_cast<size_t>(kMaxPixels) * 2);
        avformat_network_init();
    });
}

// The interrupt FFmpeg polls in every wait (every 100 ms at most): a stop, or the time without a frame.
struct Interrupt {
    std::function<bool()> stopping;
    Clock::time_point deadline;
    static int Check(void* opaque) {
        const auto* i = static_cast<const Interrupt*>(opaque);
        return i->stopping() || Clock::now() >= i->deadline ? 1 : 0;
    }
};

std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The status of the last RTSP request that failed, as FFmpeg logged it; 0 when none did.
int FailedStatus(const std::string& log, std::string& method) {
    static const std::regex failed(R"(method (\w+) failed: (\d{3}))");
    int status = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), failed); it != std::sregex_iterator(); ++it) {
        method = (*it)[1];
        status = std::stoi((*it)[2]);
    }
    return status;
}

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScaleFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

const char* EncodingName(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_H264:
            return "H264";
        case AV_CODEC_ID_HEVC:
            return "H265";
        case AV_CODEC_ID_MJPEG:
            return "JPEG";
        default:
            return nullptr;
    }
}

bool TooLarge(int width, int height) {
    return width < 0 || height < 0 || static_cast<std::int64_t>(width) * height > kMaxPixels ||
           width > 65535 || height > 65535;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return "decodes";
        case Outcome::Stopped:
            return "stopped";
        case Outcome::NoFrame:
            return "no-frame";
        case Outcome::Undecodable:
            return "undecodable";
        case Outcome::SlotsFull:
            return "slots-full";
        case Outcome::Refused:
            return "credentials-refused";
        case Outcome::TooLarge:
            return "too-large";
        case Outcome::NoServer:
            return "no-server";
        case Outcome::Failed:
            return "failed";
    }
    return "failed";
}

Reader::Reader(std::string url, QSize fitInto, const std::atomic<bool>* stop)
    : m_url(std::move(url)), m_fitInto(fitInto), m_otherStop(stop) {}

void Reader::FitInto(QSize size) {
    std::lock_guard<std::mutex> lock(m_fitMutex);
    m_fitInto = size;
}

QSize Reader::Fit() const {
    std::lock_guard<std::mutex> lock(m_fitMutex);
    return m_fitInto;
}

Reader::~Reader() = default;

namespace {

// Why the stream could not be opened, from FFmpeg's code and what it logged.
Outcome OpenFailure(int code, const std::string& log, bool timedOut, std::string& detail) {
    std::string method;
    const int status = FailedStatus(log, method);
    if (status == 453) {
        detail = "the camera has no stream slot free (RTSP 453 at " + method + ")";
        return Outcome::SlotsFull;
    }
    if (status == 401 || status == 403) {
        detail = "the stream refused the credentials (RTSP " + std::to_string(status) + " at " + method + ")";
        return Outcome::Refused;
    }
    if (status != 0) {
        detail = "the stream answered " + method + " with RTSP " + std::to_string(status);
        return Outcome::Failed;
    }
    if (timedOut) {
        detail = "no answer within " + std::to_string(kFrameWait.count() / 1000) + " s";
        return Outcome::NoFrame;
    }
    detail = "cannot open the stream: " + ErrorText(code);
    return Outcome::NoServer;
}

// Why reading stopped before a frame was handed on: the wait ran out, or the stream ended or failed.
Outcome ReadFailure(int code, const std::string& log, bool timedOut, int packets, int frames,
                    std::string& detail) {
    if (timedOut || code == AVERROR_EXIT) {
        const std::string wait = std::to_string(kFrameWait.count() / 1000) + " s";
        if (packets == 0) {
            detail = frames == 0 ? "the stream sent nothing within " + wait
                                 : "the stream stopped: nothing for " + wait;
            return Outcome::NoFrame;
        }
        detail = std::to_string(packets) + " packets in " + wait + ", none of them a picture";
        return Outcome::Undecodable;
    }
    std::string method;
    if (FailedStatus(log, method) == 453) {
        detail = "the camera has no stream slot free (RTSP 453 at " + method + ")";
        return Outcome::SlotsFull;
    }
    detail = "the stream ended: " + ErrorText(code);
    return frames == 0 ? Outcome::NoFrame : Outcome::Failed;
}

// The stream's video and a decoder opened for it, within the bound on its declared size.
Outcome OpenDecoder(AVFormatContext* format, int& index, const char*& encoding,
                    std::unique_ptr<AVCodecContext, CodecCloser>& decoder, std::string& detail) {
    const AVCodec* codec = nullptr;
    index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index < 0) {
        detail = "the stream has no video";
        return Outcome::Undecodable;
    }
    const AVCodecParameters* parameters = format->streams[index]->codecpar;
    encoding = EncodingName(parameters->codec_id);
    if (!encoding || !codec) {
        detail = std::string("the stream is ") + avcodec_get_name(parameters->codec_id) +
                 ", which is not decoded here (H.264, H.265 and Motion JPEG are)";
        return Outcome::Undecodable;
    }
    if (TooLarge(parameters->width, parameters->height)) {
        detail = "the stream declares " + std::to_string(parameters->width) + "x" +
                 std::to_string(parameters->height) + ", larger than any camera's";
        return Outcome::TooLarge;
    }
    decoder.reset(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0) {
        detail = "no decoder for the stream";
        return Outcome::Failed;
    }
    decoder->max_pixels = kMaxPixels;
    // Slices on two threads; frame threads would keep a picture per thread besides the references.
    decoder->thread_count = 2;
    decoder->thread_type = FF_THREAD_SLICE;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        detail = "the decoder does not take the stream's parameters";
        return Outcome::Undecodable;
    }
    return Outcome::Done;
}

// A decoded picture as RGB32 at `size`; a null image when it cannot be converted.
QImage Converted(const AVFrame& picture, QSize size, std::unique_ptr<SwsContext, ScaleFree>& scale) {
    scale.reset(sws_getCachedContext(scale.release(), picture.width, picture.height,
                                     static_cast<AVPixelFormat>(picture.format), size.width(), size.height(),
                                     AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scale) return {};
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull()) return {};
    uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(image.bytesPerLine()), 0, 0, 0};
    sws_scale(scale.get(), picture.data, picture.linesize, 0, picture.height, planes, strides);
    return image;
}

}  // namespace

Outcome Reader::Run(const std::function<bool(const Frame&)>& onFrame, std::string& detail) {
    SetUpOnce();
    std::string log;
    t_log = &log;
    struct Unhook {
        ~Unhook() { t_log = nullptr; }
    } unhook;
    const auto started = Clock::now();
    Interrupt interrupt{[this] { return Stopping(); }, started + kFrameWait};

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return detail = "out of memory", Outcome::Failed;
    raw->interrupt_callback = {Interrupt::Check, &interrupt};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    av_dict_set(&options, "allowed_media_types", "video", 0);
    av_dict_set(&options, "timeout", "5000000", 0);  // each socket wait, in microseconds
    av_dict_set(&options, "user_agent", "Quorvi", 0);
    const int opened = avformat_open_input(&raw, m_url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {  // FFmpeg has freed the context
        if (Stopping()) return Outcome::Stopped;
        return OpenFailure(opened, log, Clock::now() >= interrupt.deadline, detail);
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(raw);
    int index = -1;
    const char* encoding = nullptr;
    std::unique_ptr<AVCodecContext, CodecCloser> decoder;
    if (const Outcome o = OpenDecoder(format.get(), index, encoding, decoder, detail); o != Outcome::Done)
        return o;

    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> picture(av_frame_alloc());
    std::unique_ptr<SwsContext, ScaleFree> scale;
    if (!packet || !picture) return detail = "out of memory", Outcome::Failed;
    interrupt.deadline = Clock::now() + kFrameWait;
    int packets = 0;
    int frames = 0;
    Clock::time_point firstFrame;
    for (;;) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read < 0) {
            if (Stopping()) return Outcome::Stopped;
            return ReadFailure(read, log, Clock::now() >= interrupt.deadline, packets, frames, detail);
        }
        struct Unref {
            AVPacket* p;
            ~Unref() { av_packet_unref(p); }
        } unref{packet.get()};
        if (packet->stream_index != index) continue;
        if (packet->size > kMaxPacketBytes) {
            detail = "a packet of " + std::to_string(packet->size) + " bytes, more than any picture";
            return Outcome::Undecodable;
        }
        ++packets;
        if (avcodec_send_packet(decoder.get(), packet.get()) < 0) continue;  // a broken one; the next may do
        while (avcodec_receive_frame(decoder.get(), picture.get()) == 0) {
            struct FrameUnref {
                AVFrame* f;
                ~FrameUnref() { av_frame_unref(f); }
            } frameUnref{picture.get()};
            if (TooLarge(picture->width, picture->height)) {
                detail = "a picture of " + std::to_string(picture->width) + "x" +
                         std::to_string(picture->height) + ", larger than any camera's";
                return Outcome::TooLarge;
            }
            QSize size(picture->width, picture->height);
            if (const QSize fit = Fit(); !fit.isEmpty()) size.scale(fit, Qt::KeepAspectRatio);
            Frame frame;
            frame.image = Converted(*picture, size.expandedTo(QSize(1, 1)), scale);
            if (frame.image.isNull()) {
                detail = "the picture cannot be converted for showing";
                return Outcome::Undecodable;
            }
            const auto now = Clock::now();
            if (++frames == 1) firstFrame = now;
            frame.encoding = encoding;
            frame.width = picture->width;
            frame.height = picture->height;
            frame.number = frames;
            frame.sinceOpen = std::chrono::duration_cast<std::chrono::milliseconds>(now - started);
            const double seconds = std::chrono::duration<double>(now - firstFrame).count();
            frame.framesPerSecond = frames > 1 && seconds > 0 ? (frames - 1) / seconds : 0;
            interrupt.deadline = now + kFrameWait;
            if (!onFrame(frame)) return Outcome::Done;
            if (Stopping()) return Outcome::Stopped;
        }
    }
}

}  // namespace quorvi::live

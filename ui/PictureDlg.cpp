#include "PictureDlg.h"

#include <QBuffer>
#include <QHBoxLayout>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <mutex>
#include <optional>

#include "BackgroundCall.h"
#include "JpegHeader.h"
#include "LiveSource.h"
#include "StreamRequest.h"

namespace quorvi {

// The window a fetch reports to; cleared (under the lock) when the window goes, so nothing reaches it.
struct CPictureDlg::Pending {
    std::mutex mutex;
    CPictureDlg* window = nullptr;
};

// A fetch's outcome, decoded off the UI thread.
struct CPictureDlg::Decoded {
    QByteArray jpeg;
    QImage image;  // at most the room it was decoded for
    QSize size;    // as sent
    QString error;
};

PictureDecoder LibraryPictureDecoder() {
    return [](const QByteArray& jpeg, QSize room, QString* error) {
        QByteArray bytes = jpeg;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "jpeg");
        const QSize full = reader.size();
        // The JPEG reader decodes straight to a fraction of the size, so a small window costs little.
        if (full.isValid() && room.isValid() &&
            (full.width() > room.width() || full.height() > room.height()))
            reader.setScaledSize(full.scaled(room, Qt::KeepAspectRatio));
        QImage image;
        if (!reader.read(&image) && error) *error = reader.errorString();
        return image;
    };
}

// A live view under way: where its frames go (the window, cleared when it stops or goes), the frame
// waiting to be painted, and the room frames are scaled to.
struct CPictureDlg::Live {
    std::mutex mutex;
    CPictureDlg* window = nullptr;
    std::atomic<bool> stop{false};
    bool sub = false;
    QSize room;
    std::optional<live::Frame> waiting;  // one at most: a later frame replaces it
};

LiveSourceFunction LibraryLiveSource() {
    return [](const QString& service, const QString& user, const QString& password, bool sub,
              const LiveSink& sink) -> QString {
        const StreamAddresses streams = RequestStreamAddresses(service, user, password);
        if (streams.result < 0) return streams.errorText;
        const std::size_t which = sub ? 1 : 0;
        if (which >= streams.streams.size()) return QStringLiteral("the device has one stream only");
        if (sink.stop->load()) return {};
        const std::vector<StreamCheckResult> checks = CheckStreamAddresses(streams, service, {which});
        const live::Opening opening =
            live::OpeningAfterCheck(streams.streams[which], checks.front(), streams.user, streams.password);
        if (opening.url.empty()) return opening.refusal;
        live::Reader reader(opening.url, sink.room(), sink.stop);
        std::string detail;
        const live::Outcome outcome = reader.Run(
            [&](const live::Frame& f) {
                sink.frame(f);
                reader.FitInto(sink.room());
                return true;
            },
            detail);
        if (outcome == live::Outcome::Stopped) return {};
        return QString::fromLatin1(live::OutcomeName(outcome)) + QStringLiteral(": ") +
               QString::fromStdString(detail);
    };
}

CPictureDlg::Decoded CPictureDlg::Decode(const SnapshotResult& result, QSize room,
                                         const PictureDecoder& decode) {
    Decoded out;
    if (result.result < 0) {
        out.error = result.errorText;
        return out;
    }
    // The size it declares is read first: a decoder takes what the header claims before any pixel.
    const JpegHeader header = ReadJpegHeader(
        std::string_view(result.jpeg.constData(), static_cast<std::size_t>(result.jpeg.size())));
    if (const std::string problem = PictureSizeProblem(header); !problem.empty()) {
        out.error = QString::fromStdString(problem);
        return out;
    }
    QString why;
    out.image = decode(result.jpeg, room, &why);
    if (out.image.isNull()) {
        out.error = QStringLiteral("the device's picture cannot be decoded: ") + why;
        return out;
    }
    out.size = QSize(header.width, header.height);
    out.jpeg = result.jpeg;
    return out;
}

CPictureDlg::CPictureDlg(PictureDevice device, GetSnapshotFunction getSnapshot, QWidget* parent,
                         PictureDecoder decode, LiveSourceFunction live)
    : QDialog(parent),
      m_device(std::move(device)),
      m_getSnapshot(std::move(getSnapshot)),
      m_decode(std::move(decode)),
      m_liveSource(std::move(live)) {
    setObjectName(QStringLiteral("IDD_PICTURE_DIALOG"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    // Device texts are shown as written, never as markup.
    setWindowTitle(m_device.name.isEmpty() ? m_device.service : m_device.name);
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("IDC_PICTURE"));
    m_picture->setTextFormat(Qt::PlainText);
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setWordWrap(true);
    m_picture->setMinimumSize(160, 90);
    m_picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_caption = new QLabel(this);
    m_caption->setObjectName(QStringLiteral("IDC_PICTURE_DEVICE"));
    m_caption->setTextFormat(Qt::PlainText);
    m_caption->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_refresh = new QPushButton(QStringLiteral("refresh"), this);
    m_refresh->setObjectName(QStringLiteral("IDC_BUTTON_REFRESH"));
    m_liveMain = new QPushButton(QStringLiteral("live main"), this);
    m_liveMain->setObjectName(QStringLiteral("IDC_BUTTON_LIVE_MAIN"));
    m_liveSub = new QPushButton(QStringLiteral("live sub"), this);
    m_liveSub->setObjectName(QStringLiteral("IDC_BUTTON_LIVE_SUB"));
    for (QPushButton* b : {m_liveMain, m_liveSub}) b->setCheckable(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_caption, 1);
    buttons->addWidget(m_liveMain, 0, Qt::AlignBottom);
    buttons->addWidget(m_liveSub, 0, Qt::AlignBottom);
    buttons->addWidget(m_refresh, 0, Qt::AlignBottom);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_picture, 1);
    layout->addLayout(buttons);
    connect(m_refresh, &QPushButton::clicked, this, &CPictureDlg::refreshRequested);
    // Pressed again, a live view stops and the still picture comes back.
    for (const bool sub : {false, true}) {
        connect(sub ? m_liveSub : m_liveMain, &QPushButton::clicked, this, [this, sub](bool on) {
            if (on)
                emit liveRequested(sub);
            else
                StopLive();
        });
    }
    ShowPicture();
    resize(640, 480);
}

CPictureDlg::~CPictureDlg() {
    StopLive();
    for (const auto& pending : {m_pending, m_redecoding}) {
        if (!pending) continue;
        std::lock_guard<std::mutex> lock(pending->mutex);
        pending->window = nullptr;
    }
}

void CPictureDlg::StartLive(bool sub, const QString& user, const QString& password) {
    StopLive();
    auto live = std::make_shared<Live>();
    live->window = this;
    live->sub = sub;
    live->room = Room().expandedTo(QSize(320, 180));
    m_live = live;
    m_liveMain->setChecked(!sub);
    m_liveSub->setChecked(sub);
    m_liveCaption =
        QStringLiteral("live %1: connecting...").arg(sub ? QStringLiteral("sub") : QStringLiteral("main"));
    m_picture->setPixmap(QPixmap());
    m_picture->setText(m_liveCaption);
    ShowPicture();
    auto call = [live, source = m_liveSource, service = m_device.service, user, password, sub] {
        LiveSink sink;
        sink.stop = &live->stop;
        sink.room = [live] {
            std::lock_guard<std::mutex> lock(live->mutex);
            return live->room;
        };
        sink.frame = [live](const live::Frame& f) {
            std::lock_guard<std::mutex> lock(live->mutex);
            const bool paintAsked = live->waiting.has_value();
            live->waiting = f;  // a frame not painted yet is dropped for this one
            if (live->window && !paintAsked) {
                QMetaObject::invokeMethod(
                    live->window, [window = live->window] { window->OnLiveFrame(); }, Qt::QueuedConnection);
            }
        };
        const QString why = source(service, user, password, sub, sink);
        std::lock_guard<std::mutex> lock(live->mutex);
        if (live->window) {
            QMetaObject::invokeMethod(
                live->window, [window = live->window, live, why] { window->OnLiveEnded(live, why); },
                Qt::QueuedConnection);
        }
    };
    if (!StartBackgroundCall(call)) OnLiveEnded(live, QStringLiteral("no thread to play the stream on"));
}

void CPictureDlg::StopLive() {
    if (!m_live) return;
    {
        std::lock_guard<std::mutex> lock(m_live->mutex);
        m_live->window = nullptr;
        m_live->stop = true;
    }
    m_live.reset();
    m_liveMain->setChecked(false);
    m_liveSub->setChecked(false);
    m_liveCaption.clear();
    // The still picture, as it was.
    m_picture->setPixmap(QPixmap());
    m_shownAt = QSize();
    ShowPicture();
}

void CPictureDlg::OnLiveFrame() {
    if (!m_live) return;
    std::optional<live::Frame> frame;
    {
        std::lock_guard<std::mutex> lock(m_live->mutex);
        frame.swap(m_live->waiting);
    }
    if (!frame) return;
    const QSize room = Room();
    // Decoded and scaled on the source's thread to the room it last knew; only a window resized since
    // scales it here.
    const QImage& image = frame->image;
    QPixmap pixmap =
        QPixmap::fromImage(image.size() == image.size().scaled(room, Qt::KeepAspectRatio)
                               ? image
                               : image.scaled(room, Qt::KeepAspectRatio, Qt::FastTransformation));
    pixmap.setDevicePixelRatio(m_picture->devicePixelRatioF());
    m_picture->setPixmap(pixmap);
    ++m_framesPainted;
    m_liveCaption = QStringLiteral("live %1: %2 %3×%4 · %5 frames a second")
                        .arg(m_live->sub ? QStringLiteral("sub") : QStringLiteral("main"))
                        .arg(QString::fromStdString(frame->encoding))
                        .arg(frame->width)
                        .arg(frame->height)
                        .arg(frame->framesPerSecond, 0, 'f', 1);
    ShowPicture();
}

void CPictureDlg::OnLiveEnded(const std::shared_ptr<Live>& live, const QString& why) {
    if (live != m_live) return;  // stopped meanwhile, or another one began
    const QString what = m_live->sub ? QStringLiteral("sub") : QStringLiteral("main");
    m_live.reset();
    m_liveMain->setChecked(false);
    m_liveSub->setChecked(false);
    m_liveCaption.clear();
    // The reason stands in the picture's place, as written (plain text).
    m_picture->setPixmap(QPixmap());
    m_picture->setText(
        QStringLiteral("live %1: %2").arg(what, why.isEmpty() ? QStringLiteral("ended") : why));
    ShowPicture();
}

void CPictureDlg::hideEvent(QHideEvent* event) {
    StopLive();
    QDialog::hideEvent(event);
}

QSize CPictureDlg::Room() const { return m_picture->size() * m_picture->devicePixelRatioF(); }

void CPictureDlg::Fetch(const QString& user, const QString& password) {
    if (m_pending) return;
    auto pending = std::make_shared<Pending>();
    pending->window = this;
    m_pending = pending;
    m_refresh->setEnabled(false);
    setCursor(Qt::BusyCursor);
    if (m_jpeg.isEmpty()) m_picture->setText(QStringLiteral("fetching the picture..."));
    // At the size the window will show it at, about: a window not shown yet has no room of its own.
    auto call = [pending, getSnapshot = m_getSnapshot, decode = m_decode,
                 room = Room().expandedTo(QSize(640, 360)), uri = m_device.service, user, password] {
        const Decoded decoded = Decode(RequestSnapshot(uri, user, password, getSnapshot), room, decode);
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->window) {
            QMetaObject::invokeMethod(
                pending->window, [window = pending->window, decoded] { window->OnFetched(decoded); },
                Qt::QueuedConnection);
        }
    };
    if (!StartBackgroundCall(call)) {
        m_pending.reset();
        OnFetched(
            Decoded{QByteArray(), QImage(), QSize(), QStringLiteral("no thread to fetch the picture on")});
    }
}

void CPictureDlg::OnFetched(const Decoded& decoded) {
    m_pending.reset();
    m_refresh->setEnabled(true);
    unsetCursor();
    m_jpeg = decoded.jpeg;
    m_image = decoded.image;
    m_pictureSize = decoded.size;
    m_shownAt = QSize();
    if (m_jpeg.isEmpty()) {
        m_picture->setPixmap(QPixmap());
        m_picture->setText(decoded.error);
    }
    ShowPicture();
}

void CPictureDlg::OnRedecoded(const QImage& image, QSize room) {
    m_redecoding.reset();
    if (!image.isNull() && !m_jpeg.isEmpty()) m_image = image;
    m_shownAt = QSize();
    ShowPicture();
    // Grown again while it was decoded: once more, at the size now.
    if (room != Room()) ShowPicture();
}

void CPictureDlg::ShowPicture() {
    QStringList lines;
    QString first = m_device.name.isEmpty() ? m_device.id : m_device.name;
    if (!m_device.hardware.isEmpty()) first += QStringLiteral(" · ") + m_device.hardware;
    if (m_pictureSize.isValid() && !m_live)
        first += QStringLiteral(" · %1×%2").arg(m_pictureSize.width()).arg(m_pictureSize.height());
    lines << first;
    if (!m_liveCaption.isEmpty()) lines << m_liveCaption;
    if (!m_device.location.isEmpty()) lines << m_device.location;
    lines << m_device.service;
    m_caption->setText(lines.join('\n'));
    if (m_live) return;  // its frames are painted as they come
    const QSize room = Room();
    if (m_image.isNull() || room == m_shownAt || room.isEmpty()) return;
    // What was decoded, scaled to the room: cheap, as it is no larger than the window was.
    QImage image = m_image.size() == m_image.size().scaled(room, Qt::KeepAspectRatio)
                       ? m_image
                       : m_image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(m_picture->devicePixelRatioF());
    m_picture->setPixmap(pixmap);
    m_shownAt = room;
    // A window grown past what was decoded, of a picture that has more to show: decoded again at this
    // size, off the UI thread.
    const QSize fits = m_pictureSize.scaled(room, Qt::KeepAspectRatio).boundedTo(m_pictureSize);
    if (m_redecoding || m_pending || (fits.width() <= m_image.width() && fits.height() <= m_image.height()))
        return;
    auto redecoding = std::make_shared<Pending>();
    redecoding->window = this;
    m_redecoding = redecoding;
    auto call = [redecoding, decode = m_decode, jpeg = m_jpeg, room] {
        const QImage decoded = decode(jpeg, room, nullptr);
        std::lock_guard<std::mutex> lock(redecoding->mutex);
        if (redecoding->window) {
            QMetaObject::invokeMethod(
                redecoding->window,
                [window = redecoding->window, decoded, room] { window->OnRedecoded(decoded, room); },
                Qt::QueuedConnection);
        }
    };
    if (!StartBackgroundCall(call)) m_redecoding.reset();
}

void CPictureDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (m_live) {
        std::lock_guard<std::mutex> lock(m_live->mutex);
        m_live->room = Room();
    }
    ShowPicture();
}

}  // namespace quorvi

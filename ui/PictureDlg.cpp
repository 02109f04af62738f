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

#include "BackgroundCall.h"
#include "JpegHeader.h"

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
                         PictureDecoder decode)
    : QDialog(parent),
      m_device(std::move(device)),
      m_getSnapshot(std::move(getSnapshot)),
      m_decode(std::move(decode)) {
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
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_caption, 1);
    buttons->addWidget(m_refresh, 0, Qt::AlignBottom);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_picture, 1);
    layout->addLayout(buttons);
    connect(m_refresh, &QPushButton::clicked, this, &CPictureDlg::refreshRequested);
    ShowPicture();
    resize(640, 480);
}

CPictureDlg::~CPictureDlg() {
    for (const auto& pending : {m_pending, m_redecoding}) {
        if (!pending) continue;
        std::lock_guard<std::mutex> lock(pending->mutex);
        pending->window = nullptr;
    }
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
    if (m_pictureSize.isValid())
        first += QStringLiteral(" · %1×%2").arg(m_pictureSize.width()).arg(m_pictureSize.height());
    lines << first;
    if (!m_device.location.isEmpty()) lines << m_device.location;
    lines << m_device.service;
    m_caption->setText(lines.join('\n'));
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
    ShowPicture();
}

}  // namespace quorvi

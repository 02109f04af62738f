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

namespace quorvi {

// The window a fetch reports to; cleared (under the lock) when the window goes, so nothing reaches it.
struct CPictureDlg::Pending {
    std::mutex mutex;
    CPictureDlg* window = nullptr;
};

// A fetch's outcome, tried by decoding off the UI thread.
struct CPictureDlg::Decoded {
    QByteArray jpeg;
    QSize size;  // as sent
    QString error;
};

namespace {

// The picture at most `room` in size, in its proportions; a null image when it cannot be decoded. The JPEG
// reader decodes straight to a fraction of the size, so a small window costs little.
QImage DecodeToFit(const QByteArray& jpeg, QSize room, QSize* size, QString* error) {
    QByteArray bytes = jpeg;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    const QSize full = reader.size();
    if (size) *size = full;
    if (full.isValid() && room.isValid() && (full.width() > room.width() || full.height() > room.height()))
        reader.setScaledSize(full.scaled(room, Qt::KeepAspectRatio));
    QImage image;
    if (!reader.read(&image) && error) *error = reader.errorString();
    return image;
}

}  // namespace

CPictureDlg::Decoded CPictureDlg::Decode(const SnapshotResult& result) {
    Decoded out;
    if (result.result < 0) {
        out.error = result.errorText;
        return out;
    }
    QString why;
    if (DecodeToFit(result.jpeg, QSize(640, 360), &out.size, &why).isNull()) {
        out.error = QStringLiteral("the device's picture cannot be decoded: ") + why;
        out.size = QSize();
        return out;
    }
    out.jpeg = result.jpeg;
    return out;
}

CPictureDlg::CPictureDlg(PictureDevice device, GetSnapshotFunction getSnapshot, QWidget* parent)
    : QDialog(parent), m_device(std::move(device)), m_getSnapshot(std::move(getSnapshot)) {
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
    if (!m_pending) return;
    std::lock_guard<std::mutex> lock(m_pending->mutex);
    m_pending->window = nullptr;
}

void CPictureDlg::Fetch(const QString& user, const QString& password) {
    if (m_pending) return;
    auto pending = std::make_shared<Pending>();
    pending->window = this;
    m_pending = pending;
    m_refresh->setEnabled(false);
    setCursor(Qt::BusyCursor);
    if (m_jpeg.isEmpty()) m_picture->setText(QStringLiteral("fetching the picture..."));
    auto call = [pending, getSnapshot = m_getSnapshot, uri = m_device.service, user, password] {
        const Decoded decoded = Decode(RequestSnapshot(uri, user, password, getSnapshot));
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->window) {
            QMetaObject::invokeMethod(
                pending->window, [window = pending->window, decoded] { window->OnFetched(decoded); },
                Qt::QueuedConnection);
        }
    };
    if (!StartBackgroundCall(call)) {
        m_pending.reset();
        OnFetched(Decoded{QByteArray(), QSize(), QStringLiteral("no thread to fetch the picture on")});
    }
}

void CPictureDlg::OnFetched(const Decoded& decoded) {
    m_pending.reset();
    m_refresh->setEnabled(true);
    unsetCursor();
    m_jpeg = decoded.jpeg;
    m_pictureSize = decoded.size;
    m_shownAt = QSize();
    if (m_jpeg.isEmpty()) {
        m_picture->setPixmap(QPixmap());
        m_picture->setText(decoded.error);
    }
    ShowPicture();
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
    const QSize room = m_picture->size() * m_picture->devicePixelRatioF();
    if (m_jpeg.isEmpty() || room == m_shownAt) return;
    QImage image = DecodeToFit(m_jpeg, room, nullptr, nullptr);
    if (image.size() != image.size().scaled(room, Qt::KeepAspectRatio) && !image.isNull())
        image =
            image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);  // a small picture, enlarged
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(m_picture->devicePixelRatioF());
    m_picture->setPixmap(pixmap);
    m_shownAt = room;
}

void CPictureDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    ShowPicture();
}

}  // namespace quorvi

#include "PictureDlg.h"

#include <QBuffer>
#include <QHBoxLayout>
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

// A fetch's outcome, decoded off the UI thread.
struct CPictureDlg::Decoded {
    QImage image;
    QSize size;  // as sent
    QString error;
};

CPictureDlg::Decoded CPictureDlg::Decode(const SnapshotResult& result) {
    Decoded out;
    if (result.result < 0) {
        out.error = result.errorText;
        return out;
    }
    QByteArray bytes = result.jpeg;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    out.size = reader.size();
    if (out.size.width() > kMaxWidth || out.size.height() > kMaxHeight) {
        reader.setScaledSize(out.size.scaled(kMaxWidth, kMaxHeight, Qt::KeepAspectRatio));
    }
    if (!reader.read(&out.image)) {
        out.error = QStringLiteral("the device's picture cannot be decoded: ") + reader.errorString();
        out.size = QSize();
    }
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
    if (m_image.isNull()) m_picture->setText(QStringLiteral("fetching the picture..."));
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
        OnFetched(Decoded{QImage(), QSize(), QStringLiteral("no thread to fetch the picture on")});
    }
}

void CPictureDlg::OnFetched(const Decoded& decoded) {
    m_pending.reset();
    m_refresh->setEnabled(true);
    unsetCursor();
    m_image = decoded.image;
    m_pictureSize = decoded.size;
    if (m_image.isNull()) {
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
    if (m_image.isNull()) return;
    const QSize room = m_picture->size() * m_picture->devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(m_image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(m_picture->devicePixelRatioF());
    m_picture->setPixmap(pixmap);
}

void CPictureDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    ShowPicture();
}

}  // namespace quorvi

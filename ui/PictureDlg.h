#pragma once

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "LiveStream.h"
#include "SnapshotRequest.h"

class QLabel;
class QPushButton;

namespace quorvi {

// What the picture window says of its device under the picture, as the device list knows it.
struct PictureDevice {
    QString id;  // the row's endpoint id: one window per device
    QString name;
    QString hardware;
    QString location;
    QString service;  // the service address the picture is asked of
};

// Decodes a JPEG to at most `room` in size, in its proportions (a null image and the reason when it
// cannot). Runs off the UI thread.
using PictureDecoder = std::function<QImage(const QByteArray& jpeg, QSize room, QString* error)>;
PictureDecoder LibraryPictureDecoder();

// Where a live view's frames come from: what it needs of the window, kept valid while the source runs.
struct LiveSink {
    std::function<QSize()> room;                    // the size frames are wanted at now
    std::function<void(const live::Frame&)> frame;  // each frame, on the source's thread
    const std::atomic<bool>* stop = nullptr;        // turns when the view closes
};
// Plays the main (or sub) stream of the device at `service` with these credentials, on the calling thread
// (never the UI's), until `sink.stop` turns or it fails; returns why it ended (empty when stopped).
using LiveSourceFunction = std::function<QString(const QString& service, const QString& user,
                                                 const QString& password, bool sub, const LiveSink& sink)>;
// The device's stream addresses, their check, and the stream opened as the check allows (live/).
LiveSourceFunction LibraryLiveSource();

// A still picture of one device in a window of its own, not modal, closed by Escape: the picture
// scaled to fit, the device's name, model, location and service address under it, and "refresh". A
// fetch runs off the UI thread while the window shows that it is busy; a failure's text stands where
// the picture would be. The picture is kept in memory only. A picture is decoded off the UI thread, once,
// at the size it is shown at, and only when the size it declares is one a camera makes (a few hundred
// bytes can declare a picture whose decoding takes gigabytes); a resize scales what was decoded, and a
// window grown past it has the picture decoded again, off the UI thread.
// "live main" and "live sub" play that stream in the picture's place instead: frames decoded and scaled off
// the UI thread, one waiting at most (later ones replace it), the UI thread only paints; the encoding, size
// and measured frame rate under it; stopped when the window hides or closes, or the button is pressed again.
class CPictureDlg : public QDialog {
    Q_OBJECT
public:
    CPictureDlg(PictureDevice device, GetSnapshotFunction getSnapshot, QWidget* parent = nullptr,
                PictureDecoder decode = LibraryPictureDecoder(),
                LiveSourceFunction live = LibraryLiveSource());
    ~CPictureDlg() override;

    // Plays the main or sub stream with these credentials, instead of any other.
    void StartLive(bool sub, const QString& user, const QString& password);
    void StopLive();
    bool Playing() const { return m_live != nullptr; }
    int FramesPainted() const { return m_framesPainted; }

    // Fetches the picture with these credentials; one fetch at a time.
    void Fetch(const QString& user, const QString& password);
    bool Fetching() const { return m_pending != nullptr; }
    const PictureDevice& Device() const { return m_device; }
    QSize PictureSize() const { return m_pictureSize; }  // as the device sent it; empty when none

signals:
    void refreshRequested();       // "refresh": the owner fetches with the credentials its fields hold now
    void liveRequested(bool sub);  // "live main" or "live sub" pressed: the owner starts it likewise

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Pending;
    struct Decoded;
    static Decoded Decode(const SnapshotResult& result, QSize room, const PictureDecoder& decode);
    void OnFetched(const Decoded& decoded);
    void OnRedecoded(const QImage& image, QSize room);
    void ShowPicture();
    QSize Room() const;
    struct Live;
    void OnLiveFrame();
    void OnLiveEnded(const std::shared_ptr<Live>& live, const QString& why);

    PictureDevice m_device;
    GetSnapshotFunction m_getSnapshot;
    PictureDecoder m_decode;
    std::shared_ptr<Pending> m_pending;
    std::shared_ptr<Pending> m_redecoding;
    // The picture as it came (a camera's JPEG is a few hundred KB), and decoded at the size it was shown
    // at: a decoded 1080p picture would be 8 MB for every open window.
    QByteArray m_jpeg;
    QImage m_image;
    QSize m_pictureSize;
    QSize m_shownAt;
    QLabel* m_picture = nullptr;
    QLabel* m_caption = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_liveMain = nullptr;
    QPushButton* m_liveSub = nullptr;
    LiveSourceFunction m_liveSource;
    std::shared_ptr<Live> m_live;  // the stream playing, if one is
    QString m_liveCaption;         // "live main: H264 1280×720 · 10.0 frames a second"
    int m_framesPainted = 0;
};

}  // namespace quorvi

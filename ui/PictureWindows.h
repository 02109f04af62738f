#pragma once

// The picture windows the main window opens: one per device, raised when asked for again, each fetching
// (and playing live) with the credentials the main window's fields hold at that moment.
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <utility>

#include "PictureDlg.h"

namespace quorvi {

class CPictureWindows : public QObject {
    Q_OBJECT
public:
    using Credentials = std::function<std::pair<QString, QString>()>;  // user, password
    CPictureWindows(GetSnapshotFunction getSnapshot, Credentials credentials, QWidget* parent);

    // The device's window, opened (a child of the main window) and fetching, or the open one raised.
    CPictureDlg* Show(PictureDevice device);

private:
    QWidget* m_parent;
    GetSnapshotFunction m_getSnapshot;
    Credentials m_credentials;
    QMap<QString, QPointer<CPictureDlg>> m_windows;  // by device id
};

}  // namespace quorvi

#include "PictureWindows.h"

namespace quorvi {

CPictureWindows::CPictureWindows(GetSnapshotFunction getSnapshot, Credentials credentials, QWidget* parent)
    : QObject(parent),
      m_parent(parent),
      m_getSnapshot(std::move(getSnapshot)),
      m_credentials(std::move(credentials)) {}

CPictureDlg* CPictureWindows::Show(PictureDevice device) {
    if (CPictureDlg* open = m_windows.value(device.id)) {
        open->raise();
        open->activateWindow();
        return open;
    }
    const QString id = device.id;
    auto* window = new CPictureDlg(std::move(device), m_getSnapshot, m_parent);
    m_windows.removeIf([](const auto& entry) { return entry.value().isNull(); });  // closed ones
    m_windows.insert(id, window);
    connect(window, &CPictureDlg::refreshRequested, this, [this, window] {
        const auto [user, password] = m_credentials();
        window->Fetch(user, password);
    });
    connect(window, &CPictureDlg::liveRequested, this, [this, window](bool sub) {
        const auto [user, password] = m_credentials();
        window->StartLive(sub, user, password);
    });
    window->show();
    const auto [user, password] = m_credentials();
    window->Fetch(user, password);
    return window;
}

}  // namespace quorvi

#pragma once

#include <QDialog>
#include <QIcon>
#include <atomic>
#include <boost/thread/thread.hpp>
#include <string>

#include "DeviceList.h"
#include "StreamRequest.h"

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;

namespace quorvi {

// Control ids of the main window; every control's objectName is its id's name.
enum ControlId {
    IDC_EDIT_URI = 1000,
    IDC_EDIT_PASSWORD = 1001,
    IDC_EDIT_USERNAME = 1002,
    IDC_EDIT_MAINSTREAM = 1003,
    IDC_BUTTON_GET = 1004,
    IDC_LIST_DEVICES = 1005,
    IDC_EDIT_SUBSTREAM = 1006,
};

// Dialog units to pixels with the dialog font's metrics, so the layout keeps the template's proportions.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    int Width(int units) const;
    int Height(int units) const;

private:
    double m_baseX;  // average character width
    double m_baseY;  // character height
};

// The main window: the request fields, "get", the device list filled by the discovery worker, and the
// stream fields. One worker thread runs discovery from the moment the window opens until it closes.
class CQuorviDlg : public QDialog {
    Q_OBJECT
public:
    explicit CQuorviDlg(QWidget* parent = nullptr, DiscoverySources sources = {},
                        GetStreamUriFunction getStreamUri = LibraryGetStreamUri());
    ~CQuorviDlg() override;

    void AddDeviceRow(const std::string& endpoint, const std::string& service);
    void OnNMDblclkListDevices(const QModelIndex& index);
    void OnBnClickedGet();
    QMenu* CreateContextMenu();  // the dialog's context menu, with the About item
    void ShowAbout();

    DeviceListModel& Devices() { return m_devices; }
    bool WorkerRunning() const { return m_searchThread.joinable(); }

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void OnInitDialog();
    void SearchThread();
    void StopWorker();

    boost::thread m_searchThread;
    std::atomic<bool> m_bRunning{false};
    DeviceListModel m_devices;
    QTableView* m_listDevices = nullptr;
    QLineEdit* m_editUri = nullptr;
    QLineEdit* m_editUserName = nullptr;
    QLineEdit* m_editPassword = nullptr;
    QLineEdit* m_editMainStream = nullptr;
    QLineEdit* m_editSubStream = nullptr;
    QPushButton* m_buttonGet = nullptr;
    QIcon m_hIcon;
    DiscoverySources m_sources;
    GetStreamUriFunction m_getStreamUri;
    bool m_initialised = false;
};

// The About box.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(const QIcon& icon, QWidget* parent = nullptr);
};

QIcon ApplicationIcon();

}  // namespace quorvi

#pragma once

#include <QDialog>
#include <QIcon>
#include <memory>
#include <mutex>
#include <string>

#include "DeviceList.h"
#include "DeviceLookup.h"
#include "DiscoveryHost.h"
#include "ListExport.h"
#include "PictureDlg.h"
#include "PictureWindows.h"
#include "RecorderExport.h"
#include "SnapshotRequest.h"
#include "StreamRequest.h"
#include "Survey.h"
#include "SurveyRun.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScreen;
class QTableView;

namespace quorvi {

// `font`, made smaller when a dialog of `dialogUnits` at that font would not fit `screen`'s available
// area with a window frame around it; never below a readable size.
QFont FontThatFits(const QFont& font, QSize dialogUnits, const QScreen* screen);

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

// One control of the dialog template, its rectangle in dialog units.
struct ControlTemplate {
    const char* name;
    enum Kind { Label, Edit, Button, List } kind;
    const char* text;
    int x, y, width, height;
};

// The main window: the request fields, "get", the device list filled by the discovery worker, and the
// stream fields. One worker thread runs discovery from the moment the window opens until it closes.
class CQuorviDlg : public QDialog {
    Q_OBJECT
public:
    explicit CQuorviDlg(QWidget* parent = nullptr, DiscoverySources sources = {},
                        GetStreamUriFunction getStreamUri = LibraryGetStreamUri(),
                        CheckStreamsFunction checkStreams = LibraryCheckStreams(),
                        GetSnapshotFunction getSnapshot = LibraryGetSnapshot(),
                        GetStreamUriFunction surveyStreams = LibraryGetInventory());
    ~CQuorviDlg() override;

    void AddDeviceRow(const std::string& endpoint, const std::string& service);
    void OnNMDblclkListDevices(const QModelIndex& index);
    void OnBnClickedGet();
    // The dialog's context menu: the About item and probe addresses; over a row, "Show picture" first.
    QMenu* CreateContextMenu(const QModelIndex& row = QModelIndex());
    // The picture window of a row's device (one per device: an open one is raised), fetching with the
    // credentials in the fields.
    CPictureDlg* ShowPicture(const QModelIndex& row);
    // "Read all streams": every listed device's streams and their check, with the fields' credentials, in
    // the background (kSurveyJobs devices at a time, one attempt each); each row's tooltip gains its
    // streams as they come. False when one is under way already.
    bool ReadAllStreams();
    bool SurveyRunning() const;
    // "Export list...": the list, with the streams and inventory read so far, as the command line's survey
    // writes it (its CSV or JSON, or the file a recorder imports), into a file the user names; a check box
    // in the file dialog puts the passwords into the recorder formats. `chooser` stands in for the dialog.
    // ExportList returns why it failed.
    using ExportChoice = quorvi::ExportChoice;
    void AskForExportFile();
    QString ExportList(const QString& fileName, ExportFormat format = ExportFormat::Csv,
                       bool withPasswords = false);
    void SetExportFileChooser(std::function<ExportChoice()> chooser) {
        m_chooseExportFile = std::move(chooser);
    }
    static constexpr int kSurveyJobs = 8;
    // A camera's clock this far from ours, in seconds, is said to be off.
    static constexpr int kClockTolerance = 10;
    void ShowAbout();
    // Adds SPECs (comma-separated) to the addresses probed by unicast in every following cycle, for this
    // run only; returns why they were refused, or nothing. `lookOnPorts`: those that answer no Probe are
    // looked for on the ports ONVIF devices serve on (DefaultOnvifPorts) too.
    QString AddProbeTargets(const QString& specs, bool lookOnPorts = false);
    void AskForProbeTargets();
    // "Add device...": one address (host, host:port or a service address) looked for as probe addresses
    // are, a directed Probe first and then its ports, in the background; a row when it answers (and it is
    // probed in every cycle from then on), else deviceLookupEnded says why. False when one is under way.
    bool AddDevice(const QString& address);
    void AskForDevice();
    bool DeviceLookupRunning() const;

    DeviceListModel& Devices() { return m_discovery.Model(); }
    bool GetRunning() const { return m_pendingGet != nullptr; }
    bool CheckRunning() const { return m_pendingCheck != nullptr; }
    bool WorkerRunning() const { return m_discovery.Running(); }

public slots:
    void done(int result) override;

signals:
    // An "Add device..." ended: empty when the device answered, else why it was not found.
    void deviceLookupEnded(const QString& reason);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QWidget* MakeControl(const ControlTemplate& c, const DialogUnits& du);
    void OnInitDialog();
    void OnGetFinished(const StreamAddresses& streams);
    void StartCheck(const StreamAddresses& streams, const QString& deviceUri);
    void OnCheckFinished(const std::vector<StreamCheckResult>& checks);
    void ShowCheck(QLineEdit* field, QAction* icon, const StreamInfo* info, const StreamCheckResult* check);

    void OnSurveyed(const SurveyRow& row);
    std::vector<SurveyRow> ListedDevices() const;

    DiscoveryHost m_discovery;  // the device list and the worker that fills it
    struct PendingGet;
    std::shared_ptr<PendingGet> m_pendingGet;    // the "get" under way, if any
    std::shared_ptr<PendingGet> m_pendingCheck;  // the check of its streams, if one is under way
    QString m_getUri;                            // the device address the last "get" asked
    StreamAddresses m_shown;                     // what the last "get" gave
    QAction* m_checkMain = nullptr;              // the icons inside the stream fields
    QAction* m_checkSub = nullptr;
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
    CheckStreamsFunction m_checkStreams;
    // What the dialog owns besides its controls: "Read all streams" and what it found, the picture
    // windows, and "Add device...".
    CSurveyRun* m_survey = nullptr;
    CPictureWindows* m_pictures = nullptr;
    CDeviceLookup* m_lookup = nullptr;
    void OnDeviceLookedFor(const LookupOutcome& outcome);
    std::function<ExportChoice()> m_chooseExportFile;
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

#include "QuorviDlg.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolTip>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "BackgroundCall.h"
#include "DeviceLookup.h"
#include "FileOutput.h"
#include "ListExport.h"
#include "PictureWindows.h"
#include "SurveyRun.h"

// Resources compiled into a static library are registered by hand, and only at global scope.
static void RegisterResources() { Q_INIT_RESOURCE(quorvi); }

namespace quorvi {

namespace {

constexpr int kColumnWidths[kColumnCount] = {300, 100, 500};
constexpr int kDialogWidth = 611;  // the template's size, in dialog units
constexpr int kDialogHeight = 437;

// The dialog template: every control in template order (also the tab order), in dialog units.
constexpr ControlTemplate kControls[] = {
    {"IDC_STATIC_URI", ControlTemplate::Label, "URI:", 13, 24, 14, 8},
    {"IDC_STATIC_USERNAME", ControlTemplate::Label, "UserName:", 13, 43, 35, 8},
    {"IDC_STATIC_PASSWORD", ControlTemplate::Label, "Password:", 13, 62, 32, 8},
    {"IDC_EDIT_URI", ControlTemplate::Edit, "", 55, 21, 537, 14},
    {"IDC_EDIT_PASSWORD", ControlTemplate::Edit, "", 55, 63, 70, 14},
    {"IDC_EDIT_USERNAME", ControlTemplate::Edit, "", 55, 42, 70, 14},
    {"IDC_BUTTON_GET", ControlTemplate::Button, "get", 137, 63, 50, 14},
    {"IDC_LIST_DEVICES", ControlTemplate::List, "", 55, 118, 534, 301},
    {"IDC_STATIC_MAINSTREAM", ControlTemplate::Label, "mainStream:", 13, 85, 40, 8},
    {"IDC_STATIC_SUBSTREAM", ControlTemplate::Label, "subStream:", 13, 101, 36, 8},
    {"IDC_EDIT_MAINSTREAM", ControlTemplate::Edit, "", 55, 83, 533, 14},
    {"IDC_EDIT_SUBSTREAM", ControlTemplate::Edit, "", 55, 101, 533, 14},
};
constexpr double kSmallestPointSize = 6.0;
// Room for the window manager's title bar and borders around the dialog.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 48;

}  // namespace

QIcon ApplicationIcon() {
    RegisterResources();
    return QIcon(QStringLiteral(":/quorvi/quorvi.png"));
}

QFont FontThatFits(const QFont& font, QSize dialogUnits, const QScreen* screen) {
    if (!screen) return font;
    const QSize room = screen->availableGeometry().size() - QSize(kFrameWidth, kFrameHeight);
    QFont fitted = font;
    auto fits = [&] {
        const DialogUnits du(fitted);
        return du.Width(dialogUnits.width()) <= room.width() &&
               du.Height(dialogUnits.height()) <= room.height();
    };
    if (fitted.pointSizeF() > 0) {
        while (!fits() && fitted.pointSizeF() - 0.5 >= kSmallestPointSize)
            fitted.setPointSizeF(fitted.pointSizeF() - 0.5);
    } else {
        while (!fits() && fitted.pixelSize() > 8) fitted.setPixelSize(fitted.pixelSize() - 1);
    }
    return fitted;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    // The average width of the Latin letters, as dialog templates measure it.
    m_baseX =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
        52.0;
    m_baseY = metrics.height();
}

int DialogUnits::Width(int units) const { return qRound(units * m_baseX / 4.0); }
int DialogUnits::Height(int units) const { return qRound(units * m_baseY / 8.0); }

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(Width(x), Height(y), Width(width), Height(height));
}

// The window a "get" reports to. Its thread takes the lock to hand the result over; the window takes it
// to say it is gone, after which nothing reaches it (and what was already queued goes with it).
struct CQuorviDlg::PendingGet {
    std::mutex mutex;
    CQuorviDlg* window = nullptr;
};

QWidget* CQuorviDlg::MakeControl(const ControlTemplate& c, const DialogUnits& du) {
    QRect rect = du.ToPixels(c.x, c.y, c.width, c.height);
    QWidget* control = nullptr;
    switch (c.kind) {
        case ControlTemplate::Label: {
            auto* label = new QLabel(QString::fromUtf8(c.text), this);
            // Our fonts run wider than the template's; a label may grow to show its whole text.
            rect.setWidth(qMax(rect.width(), label->sizeHint().width()));
            rect.setHeight(qMax(rect.height(), label->sizeHint().height()));
            control = label;
            break;
        }
        case ControlTemplate::Edit:
            control = new QLineEdit(this);
            break;
        case ControlTemplate::Button:
            control = new QPushButton(QString::fromUtf8(c.text), this);
            break;
        case ControlTemplate::List:
            control = new QTableView(this);
            break;
    }
    control->setObjectName(QString::fromLatin1(c.name));
    control->setGeometry(rect);
    return control;
}

CQuorviDlg::CQuorviDlg(QWidget* parent, DiscoverySources sources, GetStreamUriFunction getStreamUri,
                       CheckStreamsFunction checkStreams, GetSnapshotFunction getSnapshot,
                       GetStreamUriFunction surveyStreams)
    : QDialog(parent),
      m_hIcon(ApplicationIcon()),
      m_sources(std::move(sources)),
      m_getStreamUri(std::move(getStreamUri)),
      m_checkStreams(std::move(checkStreams)) {
    setObjectName(QStringLiteral("IDD_QUORVI_DIALOG"));
    setWindowTitle(QStringLiteral("Onvif quorvi"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    // On a screen too small for the template at this font (a 1366x768 laptop, 1080p at 150 %), the
    // font and with it the dialog units shrink until the whole window fits, keeping its proportions.
    setFont(FontThatFits(font(), QSize(kDialogWidth, kDialogHeight), screen()));
    const DialogUnits du(font());

    QWidget* previous = nullptr;
    for (const ControlTemplate& c : kControls) {
        QWidget* control = MakeControl(c, du);
        if (control->focusPolicy() == Qt::NoFocus) continue;
        if (previous) setTabOrder(previous, control);  // template order is the tab order
        previous = control;
    }
    m_editUri = findChild<QLineEdit*>(QStringLiteral("IDC_EDIT_URI"));
    m_editUserName = findChild<QLineEdit*>(QStringLiteral("IDC_EDIT_USERNAME"));
    m_editPassword = findChild<QLineEdit*>(QStringLiteral("IDC_EDIT_PASSWORD"));
    m_editMainStream = findChild<QLineEdit*>(QStringLiteral("IDC_EDIT_MAINSTREAM"));
    m_editSubStream = findChild<QLineEdit*>(QStringLiteral("IDC_EDIT_SUBSTREAM"));
    m_buttonGet = findChild<QPushButton*>(QStringLiteral("IDC_BUTTON_GET"));
    m_buttonGet->setAutoDefault(false);  // no default button: Enter in a field must not press it or close
    m_listDevices = findChild<QTableView*>(QStringLiteral("IDC_LIST_DEVICES"));
    // Whether a stream plays shows as an icon inside its field: the text and the layout stay as they are.
    m_checkMain = m_editMainStream->addAction(QIcon(), QLineEdit::TrailingPosition);
    m_checkSub = m_editSubStream->addAction(QIcon(), QLineEdit::TrailingPosition);
    m_checkMain->setObjectName(QStringLiteral("IDC_EDIT_MAINSTREAM_CHECK"));
    m_checkSub->setObjectName(QStringLiteral("IDC_EDIT_SUBSTREAM_CHECK"));
    m_checkMain->setVisible(false);
    m_checkSub->setVisible(false);

    setFixedSize(du.Width(kDialogWidth), du.Height(kDialogHeight));
    connect(m_buttonGet, &QPushButton::clicked, this, &CQuorviDlg::OnBnClickedGet);
    connect(m_listDevices, &QTableView::doubleClicked, this, &CQuorviDlg::OnNMDblclkListDevices);
    m_survey = new CSurveyRun(std::move(surveyStreams), m_checkStreams, this);
    m_pictures = new CPictureWindows(
        std::move(getSnapshot),
        [this] { return std::make_pair(m_editUserName->text(), m_editPassword->text()); }, this);
    m_lookup = new CDeviceLookup(this);
}

CQuorviDlg::~CQuorviDlg() {
    for (const auto& pending : {m_pendingGet, m_pendingCheck}) {
        if (!pending) continue;
        std::lock_guard<std::mutex> lock(pending->mutex);
        pending->window = nullptr;
    }
    m_discovery.Stop();
}

void CQuorviDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
}

namespace {

// A tooltip with texts from the network in it, shown as written whatever they hold.
QString PlainTip(const QString& text) {
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

// Draws the rows of devices that said goodbye or went unseen for cycles in the greyed text colour; a row's
// tooltip gains what "Read all streams" found for it.
class DeviceRowDelegate : public QStyledItemDelegate {
public:
    using Extra = std::function<QString(const QModelIndex&)>;
    DeviceRowDelegate(QObject* parent, Extra extra)
        : QStyledItemDelegate(parent), m_extra(std::move(extra)) {}

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        const QString extra =
            event->type() == QEvent::ToolTip && index.isValid() ? m_extra(index) : QString();
        if (extra.isEmpty()) return QStyledItemDelegate::helpEvent(event, view, option, index);
        QToolTip::showText(event->globalPos(), index.data(Qt::ToolTipRole).toString() + PlainTip(extra),
                           view);
        return true;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(DeviceListModel::RowStateRole).toString().isEmpty()) return;
        const QColor grey = option->palette.color(QPalette::Disabled, QPalette::Text);
        option->palette.setColor(QPalette::Text, grey);
        option->palette.setColor(QPalette::HighlightedText, grey);
    }

private:
    Extra m_extra;
};

}  // namespace

void CQuorviDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);

    // The report list: grid lines, whole rows selected, no sorting; the model is the list's only store.
    m_listDevices->setModel(&m_discovery.Model());
    m_listDevices->setItemDelegate(new DeviceRowDelegate(m_listDevices, [this](const QModelIndex& index) {
        return m_survey->Lines(Devices().Cell(index.row(), kColumnId), kClockTolerance);
    }));
    m_listDevices->setShowGrid(true);
    m_listDevices->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listDevices->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_listDevices->setSortingEnabled(false);
    m_listDevices->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_listDevices->setWordWrap(false);
    m_listDevices->setTabKeyNavigation(false);  // Tab leaves the list, as it does every other control
    m_listDevices->verticalHeader()->hide();
    m_listDevices->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    m_listDevices->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_listDevices->horizontalHeader()->setStretchLastSection(false);
    for (int c = 0; c < kColumnCount; ++c) m_listDevices->setColumnWidth(c, kColumnWidths[c]);

    m_editUserName->setText(QStringLiteral("admin"));
    m_editPassword->setText(QStringLiteral("40718"));

    // After the list has its columns and the fields their texts: the worker never meets a bare list.
    try {
        m_discovery.Start(m_sources);
    } catch (const std::exception& e) {
        // Out of threads or memory: the window stays useful for "get" with a typed address.
        qWarning("quorvi: device discovery could not start: %s", e.what());
    }
    m_editUri->setFocus(Qt::OtherFocusReason);
}

void CQuorviDlg::AddDeviceRow(const std::string& endpoint, const std::string& service) {
    m_discovery.AddDeviceRow(endpoint, service);
}

void CQuorviDlg::done(int result) {
    // The worker is stopped and joined before the window goes; sightings it queued are dropped with it.
    m_discovery.Stop();
    QDialog::done(result);
}

void CQuorviDlg::OnNMDblclkListDevices(const QModelIndex& index) {
    if (!index.isValid()) return;  // a double-click that hits no row chooses nothing
    m_editUri->setText(Devices().Cell(index.row(), kColumnOnvif));
    m_editMainStream->clear();
    m_editSubStream->clear();
}

void CQuorviDlg::OnBnClickedGet() {
    if (m_pendingGet) return;  // one at a time
    const QString uri = m_editUri->text();
    const QString user = m_editUserName->text();
    const QString password = m_editPassword->text();
    for (QLineEdit* field : {m_editMainStream, m_editSubStream}) {
        field->clear();
        field->setPlaceholderText(QString());
    }
    // A check of the last streams that is still under way reports to nobody.
    if (m_pendingCheck) {
        std::lock_guard<std::mutex> lock(m_pendingCheck->mutex);
        m_pendingCheck->window = nullptr;
    }
    m_pendingCheck.reset();
    m_checkMain->setVisible(false);
    m_checkSub->setVisible(false);
    m_getUri = uri;
    auto pending = std::make_shared<PendingGet>();
    pending->window = this;
    m_pendingGet = pending;
    m_buttonGet->setEnabled(false);
    setCursor(Qt::BusyCursor);
    // The call may take the library's whole 15 s: the window keeps painting meanwhile.
    auto call = [pending, getStreamUri = m_getStreamUri, uri, user, password] {
        const StreamAddresses streams = RequestStreamAddresses(uri, user, password, getStreamUri);
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->window) {
            QMetaObject::invokeMethod(
                pending->window, [window = pending->window, streams] { window->OnGetFinished(streams); },
                Qt::QueuedConnection);
        }
    };
    // No thread to be had: the call blocks the window, as it would have anyway.
    if (!StartBackgroundCall(call)) call();
}

void CQuorviDlg::OnGetFinished(const StreamAddresses& streams) {
    m_pendingGet.reset();
    m_buttonGet->setEnabled(true);
    unsetCursor();
    if (streams.result < 0) {
        // Both fields stay empty; their grey placeholder says why, until the next "get".
        m_editMainStream->setPlaceholderText(streams.errorText);
        m_editSubStream->setPlaceholderText(streams.errorText);
        return;
    }
    m_editMainStream->setText(streams.mainStream);
    m_editSubStream->setText(streams.subStream);
    if (streams.result == 1)
        m_editSubStream->setPlaceholderText(QStringLiteral("the device has one stream only"));
    m_shown = streams;
    StartCheck(streams, m_getUri);
}

void CQuorviDlg::StartCheck(const StreamAddresses& streams, const QString& deviceUri) {
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < 2 && i < streams.streams.size(); ++i) {
        if (!streams.streams[i].address.isEmpty()) which.push_back(i);
    }
    if (which.empty()) return;
    for (const std::size_t i : which) {
        QAction* icon = i == 0 ? m_checkMain : m_checkSub;
        ShowCheck(i == 0 ? m_editMainStream : m_editSubStream, icon, &streams.streams[i], nullptr);
    }
    auto pending = std::make_shared<PendingGet>();
    pending->window = this;
    m_pendingCheck = pending;
    // Both streams at once, off the UI thread; at most the check's 5 s.
    auto call = [pending, check = m_checkStreams, streams, deviceUri, which] {
        std::vector<StreamCheckResult> results = CheckStreamAddresses(streams, deviceUri, which, check);
        std::vector<StreamCheckResult> both(2);
        for (std::size_t k = 0; k < which.size() && k < results.size(); ++k) both[which[k]] = results[k];
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->window) {
            QMetaObject::invokeMethod(
                pending->window,
                [window = pending->window, pending, both] {
                    if (window->m_pendingCheck == pending) window->OnCheckFinished(both);
                },
                Qt::QueuedConnection);
        }
    };
    // No thread to be had: the fields keep their "checking" icon's hint.
    if (!StartBackgroundCall(call)) m_pendingCheck.reset();
}

void CQuorviDlg::OnCheckFinished(const std::vector<StreamCheckResult>& checks) {
    m_pendingCheck.reset();
    for (std::size_t i = 0; i < 2 && i < m_shown.streams.size() && i < checks.size(); ++i) {
        if (checks[i].state.isEmpty()) continue;  // not checked: an empty field
        ShowCheck(i == 0 ? m_editMainStream : m_editSubStream, i == 0 ? m_checkMain : m_checkSub,
                  &m_shown.streams[i], &checks[i]);
    }
}

void CQuorviDlg::ShowCheck(QLineEdit* field, QAction* icon, const StreamInfo* info,
                           const StreamCheckResult* check) {
    QStyle* st = field->style();
    QStringList lines;
    QStyle::StandardPixmap pixmap = QStyle::SP_BrowserReload;
    if (!check) {
        lines << QStringLiteral("checking whether the stream plays...");
    } else {
        QString what = check->state;
        if (!check->encoding.isEmpty()) what += ' ' + check->encoding;
        if (check->width > 0) what += QStringLiteral(" %1x%2").arg(check->width).arg(check->height);
        lines << what;
        if (!check->Plays() && !check->detail.isEmpty()) lines << check->detail;
        pixmap = check->Plays() ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxCritical;
    }
    if (info && info->hostReplaced) {
        lines << QStringLiteral("the device named a host no player can reach; its own address is used");
    }
    if (info && info->otherHost) {
        lines << QStringLiteral("served by another host than the device: its credentials go there too");
        if (!check || check->Plays()) pixmap = QStyle::SP_MessageBoxWarning;
    }
    icon->setIcon(st->standardIcon(pixmap, nullptr, field));
    icon->setToolTip(PlainTip(lines.join('\n')));
    icon->setData(check ? check->state : QStringLiteral("checking"));
    icon->setVisible(true);
}

void CQuorviDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter never closes the window (the list of found devices would be lost); on "get" it runs it.
        if (focusWidget() == m_buttonGet) m_buttonGet->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

QMenu* CQuorviDlg::CreateContextMenu(const QModelIndex& row) {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("IDR_CONTEXT_MENU"));
    if (row.isValid()) {
        QAction* picture = menu->addAction(QStringLiteral("Show picture"));
        picture->setObjectName(QStringLiteral("IDM_SHOW_PICTURE"));
        const QPersistentModelIndex which(row);
        connect(picture, &QAction::triggered, this, [this, which] {
            if (which.isValid()) ShowPicture(which);
        });
    }
    menu->addSeparator();
    QAction* about = menu->addAction(QStringLiteral("关于 Quorvi(&A)..."));
    about->setObjectName(QStringLiteral("IDM_ABOUTBOX"));
    connect(about, &QAction::triggered, this, &CQuorviDlg::ShowAbout);
    // Directed discovery comes after what the menu has always held.
    menu->addSeparator();
    QAction* probe = menu->addAction(QStringLiteral("Probe addresses..."));
    probe->setObjectName(QStringLiteral("IDM_PROBE_ADDRESSES"));
    connect(probe, &QAction::triggered, this, &CQuorviDlg::AskForProbeTargets);
    QAction* add = menu->addAction(QStringLiteral("Add device..."));
    add->setObjectName(QStringLiteral("IDM_ADD_DEVICE"));
    add->setEnabled(!DeviceLookupRunning());  // one at a time
    connect(add, &QAction::triggered, this, &CQuorviDlg::AskForDevice);
    // The whole site in one pass.
    menu->addSeparator();
    QAction* readAll = menu->addAction(QStringLiteral("Read all streams"));
    readAll->setObjectName(QStringLiteral("IDM_READ_ALL_STREAMS"));
    readAll->setEnabled(!SurveyRunning());  // one at a time
    connect(readAll, &QAction::triggered, this, &CQuorviDlg::ReadAllStreams);
    QAction* exportList = menu->addAction(QStringLiteral("Export list..."));
    exportList->setObjectName(QStringLiteral("IDM_EXPORT_LIST"));
    connect(exportList, &QAction::triggered, this, &CQuorviDlg::AskForExportFile);
    return menu;
}

void CQuorviDlg::contextMenuEvent(QContextMenuEvent* event) {
    QModelIndex row;
    const QPoint inList = m_listDevices->viewport()->mapFromGlobal(event->globalPos());
    if (m_listDevices->viewport()->rect().contains(inList)) row = m_listDevices->indexAt(inList);
    QMenu* menu = CreateContextMenu(row);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

bool CQuorviDlg::ReadAllStreams() {
    return m_survey->Start(ListedDevices(), m_editUserName->text(), m_editPassword->text(), kSurveyJobs);
}

bool CQuorviDlg::SurveyRunning() const { return m_survey->Running(); }

std::vector<SurveyRow> CQuorviDlg::ListedDevices() const {
    std::vector<SurveyRow> rows;
    const DeviceListModel& model = m_discovery.Model();
    for (int r = 0; r < model.rowCount(); ++r) {
        const DeviceListModel::Identity who = model.RowIdentity(r);
        SurveyRow row;
        row.id = model.Cell(r, kColumnId);
        row.onvif = model.Cell(r, kColumnOnvif);
        row.name = who.name;
        row.hardware = who.hardware;
        row.location = who.location;
        row.host = who.host;
        row.from = who.from;
        rows.push_back(std::move(row));
    }
    return rows;
}

QString CQuorviDlg::ExportList(const QString& fileName, ExportFormat format, bool withPasswords) {
    std::vector<SurveyRow> rows = ListedDevices();
    for (SurveyRow& row : rows) {
        if (const SurveyRow* read = m_survey->Found(row.id)) row = KnownAsListed(*read, row);
    }
    return WriteListExport(rows, fileName, format, withPasswords);
}

void CQuorviDlg::AskForExportFile() {
    const ExportChoice choice = m_chooseExportFile ? m_chooseExportFile() : AskForExportChoice(this);
    if (choice.fileName.isEmpty()) return;
    const QString refused = ExportList(choice.fileName, choice.format, choice.withPasswords);
    if (refused.isEmpty()) return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Export list"), refused, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

CPictureDlg* CQuorviDlg::ShowPicture(const QModelIndex& row) {
    if (!row.isValid()) return nullptr;
    const DeviceListModel::Identity identity = Devices().RowIdentity(row.row());
    return m_pictures->Show({Devices().Cell(row.row(), kColumnId), identity.name, identity.hardware,
                             identity.location, Devices().Cell(row.row(), kColumnOnvif)});
}

QString CQuorviDlg::AddProbeTargets(const QString& specs, bool lookOnPorts) {
    std::vector<std::string> list;
    for (const QString& spec : specs.split(',')) {
        if (!spec.trimmed().isEmpty()) list.push_back(spec.trimmed().toStdString());
    }
    if (list.empty()) return QStringLiteral("no address given");
    std::string error;
    const auto targets = ParseTargets(list, error);
    if (!targets ||
        !m_discovery.AddTargets(*targets, error, lookOnPorts ? DefaultOnvifPorts() : std::vector<int>{}))
        return QString::fromStdString(error);
    return {};
}

namespace {

QString PortList(const std::vector<int>& ports) {
    QStringList list;
    for (const int p : ports) list << QString::number(p);
    return list.join(QStringLiteral(", "));
}

// The reason quotes what was typed; plain text, so nothing in it is taken for markup.
void Refuse(QWidget* parent, const QString& title, const QString& reason) {
    QMessageBox box(QMessageBox::Warning, title, reason, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace

void CQuorviDlg::AskForProbeTargets() {
    QDialog ask(this);
    ask.setObjectName(QStringLiteral("IDD_PROBE_ADDRESSES"));
    ask.setWindowTitle(QStringLiteral("Probe addresses"));
    auto* layout = new QGridLayout(&ask);
    auto* text = new QLabel(
        QStringLiteral("Addresses on other networks to probe in every cycle, until Quorvi closes:\n"
                       "an address, a range A-B or a block A/N up to /16; several, comma-separated."),
        &ask);
    text->setTextFormat(Qt::PlainText);
    auto* specs = new QLineEdit(&ask);
    specs->setObjectName(QStringLiteral("IDC_EDIT_PROBE_ADDRESSES"));
    auto* ports = new QCheckBox(QStringLiteral("Where no Probe is answered, look for ONVIF on ports %1")
                                    .arg(PortList(DefaultOnvifPorts())),
                                &ask);
    ports->setObjectName(QStringLiteral("IDC_CHECK_PROBE_PORTS"));
    auto* ok = new QPushButton(QStringLiteral("OK"), &ask);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), &ask);
    cancel->setObjectName(QStringLiteral("IDCANCEL"));
    layout->addWidget(text, 0, 0, 1, 3);
    layout->addWidget(specs, 1, 0, 1, 3);
    layout->addWidget(ports, 2, 0, 1, 3);
    layout->addWidget(ok, 3, 1);
    layout->addWidget(cancel, 3, 2);
    layout->setColumnStretch(0, 1);
    connect(ok, &QPushButton::clicked, &ask, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, &ask, &QDialog::reject);
    if (ask.exec() != QDialog::Accepted) return;
    const QString refused = AddProbeTargets(specs->text(), ports->isChecked());
    if (!refused.isEmpty()) Refuse(this, QStringLiteral("Probe addresses"), refused);
}

void CQuorviDlg::AskForDevice() {
    bool ok = false;
    const QString address = QInputDialog::getText(
        this, QStringLiteral("Add device"),
        QStringLiteral("A device that answers no Probe: its address, host:port or service address.\n"
                       "It is probed on 3702, then looked for on ONVIF's ports (%1), without credentials.")
            .arg(PortList(DefaultOnvifPorts())),
        QLineEdit::Normal, QString(), &ok);
    if (!ok) return;
    // The outcome comes later: a row, or the reason in a box.
    auto shown = std::make_shared<QMetaObject::Connection>();
    *shown = connect(this, &CQuorviDlg::deviceLookupEnded, this, [this, shown](const QString& reason) {
        disconnect(*shown);
        if (!reason.isEmpty()) Refuse(this, QStringLiteral("Add device"), reason);
    });
    AddDevice(address);
}

bool CQuorviDlg::AddDevice(const QString& address) {
    return m_lookup->Start(address, m_sources, [this](const LookupOutcome& o) { OnDeviceLookedFor(o); });
}

bool CQuorviDlg::DeviceLookupRunning() const { return m_lookup->Running(); }

void CQuorviDlg::OnDeviceLookedFor(const LookupOutcome& outcome) {
    if (outcome.found.empty()) {
        emit deviceLookupEnded(outcome.reason);
        return;
    }
    m_discovery.MergeNow(outcome.found);
    // From now on it is probed, and looked for on its ports, in every cycle like the probe addresses.
    std::string error;
    m_discovery.AddTargets({outcome.address}, error, outcome.ports);
    emit deviceLookupEnded(QString());
}

void CQuorviDlg::ShowAbout() {
    CAboutDlg about(m_hIcon, this);
    about.exec();
}

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("About onvif quorvi"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
    const DialogUnits du(font());
    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("IDC_STATIC_ICON"));
    const QRect iconRect = du.ToPixels(14, 14, 20, 20);
    image->setGeometry(iconRect);
    image->setPixmap(icon.pixmap(iconRect.size()));
    // The texts get the room they need (wider fonts, CJK glyphs, scaling); the box grows with them.
    int right = du.Width(170 - 7);
    auto text = [&](const char* name, const QString& words, QRect rect) {
        auto* l = new QLabel(words, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setTextFormat(Qt::PlainText);
        rect.setSize(rect.size().expandedTo(l->sizeHint()));
        l->setGeometry(rect);
        right = qMax(right, rect.right() + 1);
        return l;
    };
    text("IDC_STATIC_VERSION", QStringLiteral("Onvif quorvi，v1.0"), du.ToPixels(42, 14, 114, 8));
    const QLabel* notice =
        text("IDC_STATIC_NOTICE", QStringLiteral("Finds ONVIF cameras, reads their streams."),
             du.ToPixels(42, 26, 114, 8));
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    QRect okRect = du.ToPixels(113, 41, 50, 14);
    okRect.setSize(okRect.size().expandedTo(ok->sizeHint()));
    okRect.moveRight(right);  // kept at the right edge, as the template has it
    okRect.moveTop(qMax(okRect.top(), notice->geometry().bottom() + du.Height(4)));
    ok->setGeometry(okRect);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(qMax(du.Width(170), right + du.Width(7)),
                 qMax(du.Height(62), okRect.bottom() + 1 + du.Height(7)));
}

}  // namespace quorvi

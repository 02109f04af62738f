#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CliSupport.h"
#include "Command.h"
#include "DeviceList.h"
#include "Discovering.h"
#include "DiscoveryHost.h"
#include "FileOutput.h"
#include "RecorderExport.h"
#include "Survey.h"
#include "SurveyCompare.h"
#include "TextSafety.h"

namespace quorvi::cli {

namespace {

// Its lines of the usage.
constexpr char kSynopsis[] = R"(quorvi-cli survey [--cycles N] [--target SPEC]... [--ports PORTS] [--rate N]
                         [--ipv4-only | --ipv6-only] [--user U --password P]
                         [--check] [--json | --csv | --format FORMAT] [-o FILE] [--with-passwords]
                         [--jobs N] [--compare OLD.json]
)";
constexpr char kDescription[] =
    R"(survey     discovers as discover does, then reads every device's streams (--check: and whether
           they play) and inventory, at most --jobs devices at a time (8), one attempt each; one
           row per device; --format frigate, go2rtc or milestone writes what that recorder imports
           (passwords only with --with-passwords); -o FILE writes it there whole; exit 3 when some
           device's streams were not read or do not play; --compare OLD.json prints instead what
           changed since that survey (same, moved, new, missing, changed), exit 3 unless nothing did
)";

// Row r of the device list as a survey row: who the device is, where it is asked.
quorvi::SurveyRow SurveyRowAt(const quorvi::DeviceRegistry& devices, int r) {
    using Model = quorvi::DeviceListModel;
    const Model::Identity who = Model::RowIdentity(devices, r);
    quorvi::SurveyRow row;
    row.id = Model::Cell(devices, r, quorvi::kColumnId);
    row.onvif = Model::Cell(devices, r, quorvi::kColumnOnvif);
    row.name = who.name;
    row.hardware = who.hardware;
    row.location = who.location;
    row.host = who.host;
    row.from = who.from;
    return row;
}

struct SurveyOptions {
    DiscoverOptions discovery;
    std::optional<quorvi::ExportFormat> format;  // none: plain tab-separated lines
    QString output;                              // -o FILE; empty: standard output
    quorvi::ExportOptions exportOptions;
    int jobs = 8;
    QString user;
    QString password;
    bool check = false;
    bool compare = false;                   // --compare OLD.json: what changed is printed
    std::vector<quorvi::SurveyRow> before;  // that survey's rows
};

// What changed since an earlier survey, one device a line (or JSON, or CSV); true when nothing did.
bool PrintChanges(const std::vector<quorvi::SiteChange>& changes, const SurveyOptions& s) {
    const bool json = s.format == quorvi::ExportFormat::Json;
    const bool csv = s.format == quorvi::ExportFormat::Csv;
    QJsonArray list;
    QString csvText = QStringLiteral("status,id,name,from,to,fields\r\n");
    for (const quorvi::SiteChange& c : changes) {
        const QString status = QString::fromLatin1(quorvi::SiteChangeName(c.status));
        if (json) {
            QJsonObject o{{"status", status}, {"id", c.id}, {"name", c.name}};
            if (c.status == quorvi::SiteChange::Moved) {
                o["from"] = c.from;
                o["to"] = c.to;
            }
            if (!c.fields.isEmpty()) o["fields"] = QJsonArray::fromStringList(c.fields);
            list.append(o);
        } else if (csv) {
            csvText += QStringList{quorvi::CsvField(status), quorvi::CsvField(c.id),
                                   quorvi::CsvField(c.name), quorvi::CsvField(c.from),
                                   quorvi::CsvField(c.to),   quorvi::CsvField(c.fields.join(' '))}
                           .join(',') +
                       QStringLiteral("\r\n");
        } else {
            QString line = status + '\t' + EscapeField(c.id) + '\t' + EscapeField(c.name);
            if (c.status == quorvi::SiteChange::Moved) line += '\t' + EscapeField(c.from + " -> " + c.to);
            if (!c.fields.isEmpty()) line += '\t' + c.fields.join(',');
            PrintLine(line);
        }
    }
    if (json) PrintLine(SafeJson(QJsonDocument(list), QJsonDocument::Indented).trimmed());
    if (csv) {
        const QByteArray bytes = csvText.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    }
    std::fflush(stdout);
    return std::all_of(changes.begin(), changes.end(),
                       [](const quorvi::SiteChange& c) { return c.status == quorvi::SiteChange::Same; });
}

// The survey in its format: on standard output, or written whole to -o FILE (for its owner only when it
// holds a password). False when the file could not be written (the reason is on standard error).
bool PrintSurvey(const std::vector<quorvi::SurveyRow>& rows, const SurveyOptions& s) {
    QByteArray bytes;
    if (!s.format) {
        for (const quorvi::SurveyRow& row : rows) {
            QStringList cells;
            for (const QString& field : quorvi::SurveyFields(row)) cells << EscapeField(field);
            bytes += cells.join('\t').toLocal8Bit() + '\n';
        }
    } else {
        // The bytes "Export list..." writes, UTF-8 whatever the locale.
        bytes = quorvi::WriteExport(rows, *s.format, s.exportOptions);
    }
    if (!s.output.isEmpty()) {
        const bool secret =
            quorvi::ExportHoldsPassword(rows, s.format.value_or(quorvi::ExportFormat::Csv), s.exportOptions);
        if (const QString error = quorvi::WriteWholeFile(s.output, bytes, secret); !error.isEmpty()) {
            std::fprintf(stderr, "quorvi-cli: cannot write %s: %s\n", s.output.toLocal8Bit().constData(),
                         error.toLocal8Bit().constData());
            return false;
        }
        return true;
    }
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
    return true;
}

// Reads survey's options. An exit status when the command ends here: wrong options, or --help.
std::optional<int> ReadSurveyOptions(const QStringList& args, SurveyOptions& s) {
    QCommandLineParser parser;
    AddDiscoverOptions(parser);
    parser.addOptions({{QStringLiteral("csv"), QString()},
                       {QStringLiteral("format"), QString(), QStringLiteral("FORMAT")},
                       {{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")},
                       {QStringLiteral("with-passwords"), QString()},
                       {QStringLiteral("compare"), QString(), QStringLiteral("OLD.json")},
                       {QStringLiteral("check"), QString()},
                       {QStringLiteral("user"), QString(), QStringLiteral("U")},
                       {QStringLiteral("password"), QString(), QStringLiteral("P")},
                       {QStringLiteral("jobs"), QString(), QStringLiteral("N")}});
    int status = 0;
    if (!ParseCommand(parser, "survey", args, status)) return status;
    if (const auto bad = ReadDiscoverOptions(parser, "survey", s.discovery)) return *bad;
    const bool csv = parser.isSet(QStringLiteral("csv"));
    const bool format = parser.isSet(QStringLiteral("format"));
    if (int(s.discovery.json) + int(csv) + int(format) > 1)
        return BadArguments("survey: one of --json, --csv and --format");
    if (s.discovery.json) s.format = quorvi::ExportFormat::Json;
    if (csv) s.format = quorvi::ExportFormat::Csv;
    if (format) {
        s.format = quorvi::ExportFormatNamed(parser.value(QStringLiteral("format")));
        if (!s.format) return BadArguments("--format takes csv, json, frigate, go2rtc or milestone");
    }
    s.output = parser.value(QStringLiteral("o"));
    s.exportOptions.withPasswords = parser.isSet(QStringLiteral("with-passwords"));
    if (parser.isSet(QStringLiteral("compare"))) {
        const QString path = parser.value(QStringLiteral("compare"));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > (64 << 20)) {
            std::fprintf(stderr, "quorvi-cli: cannot read %s\n", path.toLocal8Bit().constData());
            return 1;
        }
        QJsonParseError error{};
        const QJsonDocument old = QJsonDocument::fromJson(file.readAll(), &error);
        if (!old.isArray()) return BadArguments("--compare takes a survey's own JSON (survey --json)");
        for (const QJsonValue& v : old.array()) s.before.push_back(quorvi::SurveyRowFromJson(v.toObject()));
        s.compare = true;
        if (s.format && s.output.isEmpty() && *s.format != quorvi::ExportFormat::Json &&
            *s.format != quorvi::ExportFormat::Csv)
            return BadArguments("survey --compare: the changes go to standard output; --format " +
                                parser.value(QStringLiteral("format")).toStdString() + " needs -o FILE");
    }
    long jobs = 8;
    if (parser.isSet(QStringLiteral("jobs")) &&
        !ParseCount(parser.value(QStringLiteral("jobs")).toStdString(), 1, 64, jobs)) {
        return BadArguments("--jobs takes a whole number from 1 to 64");
    }
    s.jobs = static_cast<int>(jobs);
    s.user = parser.value(QStringLiteral("user"));
    s.password = parser.value(QStringLiteral("password"));
    s.check = parser.isSet(QStringLiteral("check"));
    return std::nullopt;
}

// The devices of a survey: each is handed to the pool the moment it is listed, and the rows come back in
// the list's order. Ask and RowsDone on the thread that owns the list.
class SiteSurvey {
public:
    SiteSurvey(const SurveyOptions& s, const std::atomic<bool>& stop)
        : m_progress(::isatty(STDERR_FILENO) == 1),
          m_pool(s.jobs, s.user, s.password, s.check, stop,
                 [this](std::size_t, const quorvi::SurveyRow& row) { Finished(row); }) {}

    void Ask(const quorvi::DeviceRegistry& devices, int first, int last) {
        for (int r = std::max(first, 0); r <= last && r < devices.Size(); ++r) {
            quorvi::SurveyRow row = SurveyRowAt(devices, r);
            if (m_asked.contains(row.id)) continue;
            m_asked.insert(row.id);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_queued;
            }
            m_pool.Add(std::move(row));
        }
    }
    void Wait() { m_pool.Wait(); }
    void EndProgress() const {
        if (m_progress && m_queued > 0) std::fputc('\n', stderr);
    }

    // The rows done so far in the list's order: each as it was read, known as the list knows it now.
    std::vector<quorvi::SurveyRow> RowsDone(const quorvi::DeviceRegistry& devices) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<quorvi::SurveyRow> rows;
        for (int r = 0; r < devices.Size(); ++r) {
            const quorvi::SurveyRow listed = SurveyRowAt(devices, r);
            const auto it = m_done.find(listed.id);
            if (it == m_done.end()) continue;
            rows.push_back(quorvi::KnownAsListed(*it, listed));
        }
        return rows;
    }
    // Every device asked was read and is well.
    bool AllWell(const std::vector<quorvi::SurveyRow>& rows) const {
        return static_cast<qsizetype>(rows.size()) == m_asked.size() &&
               std::all_of(rows.begin(), rows.end(), quorvi::SurveyRowIsWell);
    }

private:
    void Finished(const quorvi::SurveyRow& row) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done.insert(row.id, row);
        if (m_progress)
            std::fprintf(stderr, "\r%lld/%zu devices", static_cast<long long>(m_done.size()), m_queued);
    }

    const bool m_progress;
    std::mutex m_mutex;
    QHash<QString, quorvi::SurveyRow> m_done;  // by id
    std::size_t m_queued = 0;
    QSet<QString> m_asked;
    quorvi::SurveyPool m_pool;  // last: its threads end before the rest goes
};

// A survey compared with an earlier one: the changes on standard output, and with -o the survey written
// as asked, its moved cameras under the names the earlier survey gave them.
int Compared(const std::vector<quorvi::SurveyRow>& rows, SurveyOptions& s) {
    const std::vector<quorvi::SiteChange> changes = quorvi::CompareSurveys(s.before, rows);
    const std::vector<QString> oldNames = quorvi::CameraNames(s.before);
    for (const quorvi::SiteChange& c : changes) {
        if (c.status == quorvi::SiteChange::Moved &&
            !oldNames[static_cast<std::size_t>(c.oldIndex)].isEmpty())
            s.exportOptions.names.insert(c.id, oldNames[static_cast<std::size_t>(c.oldIndex)]);
    }
    if (!s.output.isEmpty() && !PrintSurvey(rows, s)) return 1;
    return PrintChanges(changes, s) ? 0 : 3;
}

int Survey(const QStringList& args) {
    SurveyOptions s;
    if (const auto status = ReadSurveyOptions(args, s)) return *status;
    std::atomic<bool> stop{false};
    SiteSurvey survey(s, stop);
    quorvi::DiscoveryHost host;
    const quorvi::DeviceRegistry& devices = host.Model().Registry();
    QObject::connect(&host.Model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { survey.Ask(devices, first, last); });
    int caught = 0;
    std::unique_ptr<QSocketNotifier> stopSignals;
    if (const auto failed = RunDiscovery(host, s.discovery, caught, stopSignals)) return *failed;
    survey.Ask(devices, 0, devices.Size() - 1);  // any row not seen arriving

    if (!caught) {
        // Wait for the devices on a thread of its own, so that a stop signal is still heard.
        std::thread waiting([&] {
            survey.Wait();
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        });
        QCoreApplication::exec();
        if (!caught) {
            waiting.join();
            survey.EndProgress();
            const std::vector<quorvi::SurveyRow> rows = survey.RowsDone(devices);
            if (s.compare) return Compared(rows, s);
            if (!PrintSurvey(rows, s)) return 1;
            return survey.AllWell(rows) ? 0 : 3;
        }
        waiting.detach();
    }
    // Stopped: the rows done so far, without waiting for the devices still under way (up to the
    // library's 15 s each).
    stop = true;
    survey.EndProgress();
    PrintSurvey(survey.RowsDone(devices), s);
    std::fflush(stderr);
    std::_Exit(128 + caught);
}

class SurveyCommand final : public Command {
public:
    SurveyCommand() : Command("survey", kSynopsis, kDescription) {}
    int Run(const QStringList& args) override { return Survey(args); }
};

}  // namespace

std::unique_ptr<Command> MakeSurveyCommand() { return std::make_unique<SurveyCommand>(); }

}  // namespace quorvi::cli

// quorvi-cli: the window's discovery and stream requests without a window.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "DeviceList.h"
#include "DiscoveryHost.h"
#include "FileOutput.h"
#include "JpegHeader.h"
#include "LiveSource.h"
#include "RecorderExport.h"
#include "SnapshotRequest.h"
#include "StreamRequest.h"
#include "Survey.h"
#include "SurveyCompare.h"
#include "onvifc.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int signal) {
    const unsigned char s = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &s, 1);
}

const char kUsage[] =
    "usage: quorvi-cli discover [--cycles N] [--json] [--target SPEC]... [--ports PORTS] [--rate N]\n"
    "                           [--ipv4-only | --ipv6-only]\n"
    "       quorvi-cli streams URI [--user U] [--password P] [--all] [--check] [--decode] [--inventory]\n"
    "                          [--json]\n"
    "       quorvi-cli frame URI -o FILE.png [--sub] [--user U] [--password P] [--json]\n"
    "       quorvi-cli snapshot URI [--user U] [--password P] [--check] -o FILE\n"
    "       quorvi-cli survey [--cycles N] [--target SPEC]... [--ports PORTS] [--rate N]\n"
    "                         [--ipv4-only | --ipv6-only] [--user U --password P]\n"
    "                         [--check] [--json | --csv | --format FORMAT] [-o FILE] [--with-passwords]\n"
    "                         [--jobs N] [--compare OLD.json]\n"
    "       quorvi-cli --help | --version\n"
    "\n"
    "discover   probes every network of this machine for ONVIF devices, N cycles (default 1),\n"
    "           and prints one line per device, newest first: id, time online, onvif address;\n"
    "           --target also probes SPEC by unicast each cycle (an IPv4 address, a range A-B or a\n"
    "           block A/N up to /16; several, comma-separated), at most --rate probes a second (1000);\n"
    "           --ports default (80,8000,8080,8899,2020,5000) or P,... looks for ONVIF on those ports of\n"
    "           each target that answered no Probe (one GetSystemDateAndTime, no credentials);\n"
    "           IPv6 links are probed on ff02::c after the IPv4 addresses (--ipv4-only, --ipv6-only)\n"
    "streams    reads the main and sub stream addresses of the device whose service address is URI,\n"
    "           with the credentials inside the addresses when both are given; --all prints every\n"
    "           video stream, --check asks each address shown whether it plays (RTSP DESCRIBE;\n"
    "           exit 3 when one does not), --decode goes on to decode a frame of each that plays\n"
    "frame      writes the first decoded frame of the main (--sub: sub) stream of that device, or of\n"
    "           an rtsp:// address, to FILE.png, whole or not at all; exit 3 when it does not decode\n"
    "snapshot   writes a still picture (JPEG) of that device to FILE, whole or not at all; - for\n"
    "           standard output; --check says the size the picture declares (exit 3 when no camera\n"
    "           makes such a picture)\n"
    "survey     discovers as discover does, then reads every device's streams (--check: and whether\n"
    "           they play) and inventory, at most --jobs devices at a time (8), one attempt each; one\n"
    "           row per device; --format frigate, go2rtc or milestone writes what that recorder imports\n"
    "           (passwords only with --with-passwords); -o FILE writes it there whole; exit 3 when some\n"
    "           device's streams were not read or do not play; --compare OLD.json prints instead what\n"
    "           changed since that survey (same, moved, new, missing, changed), exit 3 unless nothing did\n";

int BadArguments(const std::string& message) {
    std::fprintf(stderr, "quorvi-cli: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// Characters that steer a terminal's layout without showing: bidirectional overrides and isolates, other
// format characters (zero-width joiners, the BOM) and the line and paragraph separators.
bool IsInvisibleControl(char32_t u) {
    const QChar::Category category = QChar::category(u);
    return category == QChar::Other_Format || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

// A field of the tab-separated output, with everything that could split a line or a cell, or reach the
// terminal as a control sequence or reorder what it shows, written as an escape.
QString EscapeField(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const char32_t u : text.toUcs4()) {
        if (u == '\\')
            out += QStringLiteral("\\\\");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            out += QStringLiteral("\\x%1").arg(static_cast<uint>(u), 2, 16, QChar('0'));
        else if (IsInvisibleControl(u))
            out += QStringLiteral("\\u{%1}").arg(static_cast<uint>(u), 4, 16, QChar('0'));
        else
            out += QString::fromUcs4(&u, 1);
    }
    return out;
}

// JSON as QJsonDocument writes it, but with the 8-bit controls (U+0080-U+009F) and the invisible
// layout controls written as \uXXXX escapes: the same text for a JSON reader, nothing a terminal acts on.
// They can only stand inside strings, where an escape means the same character.
QString SafeJson(const QJsonDocument& document, QJsonDocument::JsonFormat format) {
    const QString json = QString::fromUtf8(document.toJson(format));
    QString out;
    out.reserve(json.size());
    for (const char32_t u : json.toUcs4()) {
        if ((u >= 0x80 && u <= 0x9f) || IsInvisibleControl(u)) {
            // Beyond the BMP (the tag characters) as the UTF-16 pair JSON writes it with.
            for (const QChar half : QString::fromUcs4(&u, 1))
                out += QStringLiteral("\\u%1").arg(half.unicode(), 4, 16, QChar('0'));
        } else {
            out += QString::fromUcs4(&u, 1);
        }
    }
    return out;
}

// Plain decimal digits only: no sign, no spaces, nothing after them.
bool ParseCount(const std::string& text, long low, long high, long& out) {
    if (text.empty() || text.size() > 9) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    out = std::strtol(text.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

void PrintLine(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

// Parses a command's own arguments; false (after the message) when they are not right. The caller
// prints the usage for --help.
bool ParseCommand(QCommandLineParser& parser, const char* command, const QStringList& args, int& status) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(QStringList{QStringLiteral("quorvi-cli")} + args)) {
        status = BadArguments(std::string(command) + ": " + parser.errorText().toStdString());
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(kUsage, stdout);
        status = 0;
        return false;
    }
    return true;
}

// What discover (and survey, which discovers first) is asked to do.
struct DiscoverOptions {
    quorvi::DiscoverySources sources;
    quorvi::TargetList targets;
    int cycles = 1;
    bool json = false;
};

void AddDiscoverOptions(QCommandLineParser& parser) {
    parser.addOptions({{QStringLiteral("help"), QString()},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("cycles"), QString(), QStringLiteral("N")},
                       {QStringLiteral("target"), QString(), QStringLiteral("SPEC")},
                       {QStringLiteral("ports"), QString(), QStringLiteral("PORTS")},
                       {QStringLiteral("rate"), QString(), QStringLiteral("N")},
                       {QStringLiteral("ipv4-only"), QString()},
                       {QStringLiteral("ipv6-only"), QString()}});
}

// Reads discover's options. An exit status when the command ends here: wrong options.
std::optional<int> ReadDiscoverOptions(const QCommandLineParser& parser, const char* command,
                                       DiscoverOptions& o) {
    quorvi::DiscoverySources& sources = o.sources;
    int& cycles = o.cycles;
    // Directed discovery: SPECs from every --target, each of which may hold several, comma-separated.
    std::vector<std::string> specs;
    for (const QString& value : parser.values(QStringLiteral("target"))) {
        for (const QString& spec : value.split(',')) {
            if (!spec.trimmed().isEmpty()) specs.push_back(spec.trimmed().toStdString());  // blanks skipped
        }
    }
    if (parser.isSet(QStringLiteral("target")) && specs.empty()) return BadArguments("--target needs a SPEC");
    if (!specs.empty()) {
        std::string error;
        const auto targets = quorvi::ParseTargets(specs, error);
        if (!targets) return BadArguments(error);
        o.targets = *targets;
    }
    if (parser.isSet(QStringLiteral("ports"))) {
        if (specs.empty()) return BadArguments("--ports goes with --target");
        std::string error;
        const auto ports = quorvi::ParsePorts(parser.value(QStringLiteral("ports")).toStdString(), error);
        if (!ports) return BadArguments("--ports takes \"default\" or ports separated by commas: " + error);
        sources.ports = *ports;
    }
    if (parser.isSet(QStringLiteral("rate"))) {
        long rate = 0;
        if (specs.empty()) return BadArguments("--rate goes with --target");
        if (!ParseCount(parser.value(QStringLiteral("rate")).toStdString(), 1, 100000, rate)) {
            return BadArguments("--rate takes a whole number of probes a second from 1 to 100000");
        }
        sources.rate = static_cast<int>(rate);
    }
    // IPv4 (every local address, and the targets) and IPv6 (every link) both, unless told.
    const bool ipv4Only = parser.isSet(QStringLiteral("ipv4-only"));
    const bool ipv6Only = parser.isSet(QStringLiteral("ipv6-only"));
    if (ipv4Only && ipv6Only) return BadArguments("--ipv4-only and --ipv6-only exclude each other");
    if (ipv6Only && !specs.empty())
        return BadArguments("--target probes IPv4 addresses: not with --ipv6-only");
    if (ipv4Only) sources.links6 = nullptr;
    if (ipv6Only) sources.adapters = [] { return quorvi::AdapterList{}; };
    if (!parser.positionalArguments().isEmpty()) {
        return BadArguments(std::string("unknown argument to ") + command + ": " +
                            parser.positionalArguments().front().toStdString());
    }
    o.json = parser.isSet(QStringLiteral("json"));
    if (parser.isSet(QStringLiteral("cycles"))) {
        long n = 0;
        if (!ParseCount(parser.value(QStringLiteral("cycles")).toStdString(), 1, 1000000, n)) {
            return BadArguments("--cycles takes a whole number from 1 to 1000000");
        }
        cycles = static_cast<int>(n);
    }
    return std::nullopt;
}

// Ctrl-C or SIGTERM ends discovery early, but what was found so far is still printed: the handler only
// writes the signal's number to a pipe, which the event loop reads into `caught`.
std::unique_ptr<QSocketNotifier> CatchStopSignals(int& caught) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [&caught] {
        unsigned char s = 0;
        if (::read(g_signalPipe[0], &s, 1) == 1 && caught == 0) caught = s;
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return notifier;
}

// Prints the rows themselves, newest first.
void PrintDevices(const quorvi::DeviceRegistry& devices, bool json) {
    using Model = quorvi::DeviceListModel;
    if (json) {
        QJsonArray rows;
        for (int r = 0; r < devices.Size(); ++r) {
            const Model::Identity who = Model::RowIdentity(devices, r);
            QJsonObject row{{"id", Model::Cell(devices, r, quorvi::kColumnId)},
                            {"time_online", Model::Cell(devices, r, quorvi::kColumnTimeOnline)},
                            {"onvif", Model::Cell(devices, r, quorvi::kColumnOnvif)},
                            {"name", who.name},
                            {"hardware", who.hardware},
                            {"location", who.location},
                            {"xaddrs", QJsonArray::fromStringList(who.xaddrs)},
                            {"host", who.host},
                            {"last_seen", who.lastSeen}};
            // What the row is drawn as in the window: it said goodbye, or went unseen for cycles.
            if (who.gone) row["gone"] = true;
            if (!who.gone && who.Stale()) row["stale"] = true;
            if (!who.movedFrom.isEmpty())
                row["moved_from"] = QJsonObject{{"host", who.movedFrom}, {"at", who.movedAt}};
            if (who.foundOnPort > 0) {
                row["foundBy"] = QStringLiteral("port");
                row["port"] = who.foundOnPort;
            }
            rows.append(row);
        }
        PrintLine(SafeJson(QJsonDocument(rows), QJsonDocument::Indented).trimmed());
    } else {
        for (int r = 0; r < devices.Size(); ++r) {
            PrintLine(EscapeField(Model::Cell(devices, r, quorvi::kColumnId)) + '\t' +
                      EscapeField(Model::Cell(devices, r, quorvi::kColumnTimeOnline)) + '\t' +
                      EscapeField(Model::Cell(devices, r, quorvi::kColumnOnvif)));
        }
    }
    std::fflush(stdout);
}

// Runs the cycles asked for (or until a stop signal, whose number goes into `caught`). An exit status
// when discovery could not run.
std::optional<int> RunDiscovery(quorvi::DiscoveryHost& host, const DiscoverOptions& o, int& caught,
                                std::unique_ptr<QSocketNotifier>& stopSignals) {
    std::string error;
    if (!host.AddTargets(o.targets, error)) return BadArguments(error);
    QObject::connect(&host, &quorvi::DiscoveryHost::finished, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    QObject::connect(&host, &quorvi::DiscoveryHost::announcementsUnavailable, [](const QString& why) {
        std::fprintf(stderr, "quorvi-cli: %s; going on without Hello and Bye\n",
                     why.toLocal8Bit().constData());
    });
    stopSignals = CatchStopSignals(caught);
    try {
        host.Start(o.sources, o.cycles);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvi-cli: discovery could not start: %s\n", e.what());
        return 1;
    }
    QCoreApplication::exec();
    host.Stop();
    // Sightings the worker handed over before it stopped may still be waiting.
    host.MergePending();
    return std::nullopt;
}

int Discover(const QStringList& args) {
    QCommandLineParser parser;
    AddDiscoverOptions(parser);
    int status = 0;
    if (!ParseCommand(parser, "discover", args, status)) return status;
    DiscoverOptions o;
    if (const auto bad = ReadDiscoverOptions(parser, "discover", o)) return *bad;
    quorvi::DiscoveryHost host;
    int caught = 0;
    std::unique_ptr<QSocketNotifier> stopSignals;
    if (const auto failed = RunDiscovery(host, o, caught, stopSignals)) return *failed;
    PrintDevices(host.Model().Registry(), o.json);
    return caught ? 128 + caught : 0;
}

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
    } else if (*s.format == quorvi::ExportFormat::Json) {
        QJsonArray list;
        for (const quorvi::SurveyRow& row : rows) list.append(quorvi::SurveyJson(row));
        bytes = SafeJson(QJsonDocument(list), QJsonDocument::Indented).trimmed().toUtf8() + '\n';
    } else {
        // UTF-8 whatever the locale: what recorders import.
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

// A stream's check as JSON: {"state", "encoding", "width", "height", "detail"}.
QJsonObject CheckJson(const quorvi::StreamCheckResult& c) {
    QJsonObject o{{"state", c.state}, {"encoding", c.encoding}, {"width", c.width}, {"height", c.height}};
    if (!c.detail.isEmpty()) o["detail"] = c.detail;
    return o;
}

QString CheckWords(const quorvi::StreamCheckResult& c) {
    QString words = c.state;
    if (!c.encoding.isEmpty()) words += ' ' + c.encoding;
    if (c.width > 0) words += QStringLiteral(" %1x%2").arg(c.width).arg(c.height);
    if (!c.Plays() && !c.detail.isEmpty()) words += ": " + c.detail;
    return words;
}

// streams --decode: each stream that plays is opened as its check allows and one frame of it decoded; its
// state becomes "decodes" (with the decoded encoding and size) or why not. After a refused login the
// device's other streams are not tried: one refused login per device per call.
void DecodeEach(const quorvi::StreamAddresses& streams, const QString& user, const QString& password,
                std::vector<quorvi::StreamCheckResult>& checks) {
    bool refused = false;
    for (std::size_t i = 0; i < checks.size() && i < streams.streams.size(); ++i) {
        quorvi::StreamCheckResult& c = checks[i];
        if (!c.Plays()) continue;
        if (refused) {
            c.state = QStringLiteral("not-tried");
            c.detail = QStringLiteral("the device refused the credentials for another stream");
            continue;
        }
        const quorvi::live::Opening opening =
            quorvi::live::OpeningAfterCheck(streams.streams[i], c, user, password);
        if (opening.url.empty()) {
            c.state = opening.state;
            c.detail = opening.refusal;
            continue;
        }
        const quorvi::live::FirstFrame first = quorvi::live::DecodeFirstFrame(opening.url);
        c.state = QString::fromLatin1(quorvi::live::OutcomeName(first.outcome));
        c.detail = QString::fromStdString(first.detail);
        if (first.outcome == quorvi::live::Outcome::Done) {
            c.encoding = QString::fromStdString(first.frame.encoding);
            c.width = first.frame.width;
            c.height = first.frame.height;
        }
        refused = first.outcome == quorvi::live::Outcome::Refused;
    }
}

int Streams(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("help"), QString()},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("all"), QString()},
                       {QStringLiteral("check"), QString()},
                       {QStringLiteral("decode"), QString()},
                       {QStringLiteral("inventory"), QString()},
                       {QStringLiteral("user"), QString(), QStringLiteral("U")},
                       {QStringLiteral("password"), QString(), QStringLiteral("P")}});
    int status = 0;
    if (!ParseCommand(parser, "streams", args, status)) return status;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) return BadArguments("streams needs the device's service address");
    if (positional.size() > 1)
        return BadArguments("unknown argument to streams: " + positional[1].toStdString());
    const QString uri = positional.front();
    const QString user = parser.value(QStringLiteral("user"));
    const QString password = parser.value(QStringLiteral("password"));
    const bool json = parser.isSet(QStringLiteral("json"));
    const bool all = parser.isSet(QStringLiteral("all"));
    const bool decode = parser.isSet(QStringLiteral("decode"));
    const bool check = parser.isSet(QStringLiteral("check")) || decode;

    const bool withInventory = parser.isSet(QStringLiteral("inventory"));
    quorvi::DocumentInventory inventory;
    const quorvi::StreamAddresses streams =
        withInventory ? quorvi::RequestStreamsAndInventory(uri, user, password, inventory)
                      : quorvi::RequestStreamAddresses(uri, user, password);
    if (streams.result < 0) {
        std::fprintf(stderr, "quorvi-cli: %s\n", streams.errorText.toLocal8Bit().constData());
        return 1;
    }
    // The streams shown: main and sub, or with --all every one.
    std::vector<std::size_t> shown;
    for (std::size_t i = 0; i < streams.streams.size() && (all || i < 2); ++i) shown.push_back(i);
    std::vector<quorvi::StreamCheckResult> checks;
    if (check) checks = quorvi::CheckStreamAddresses(streams, uri, shown);
    if (decode) DecodeEach(streams, user, password, checks);
    const auto checkOf = [&](std::size_t i) -> const quorvi::StreamCheckResult* {
        return check && i < checks.size() ? &checks[i] : nullptr;
    };
    const bool allPlay = std::all_of(checks.begin(), checks.end(), [&](const auto& c) {
        return decode ? c.state == QLatin1String("decodes") : c.Plays();
    });
    // The inventory's fields, as the survey names them.
    const std::vector<std::pair<QString, std::string>> inventoryFields{
        {QStringLiteral("manufacturer"), inventory.manufacturer},
        {QStringLiteral("model"), inventory.model},
        {QStringLiteral("firmware"), inventory.firmware},
        {QStringLiteral("serial"), inventory.serial},
        {QStringLiteral("mac"), inventory.mac},
        {QStringLiteral("ntp"), inventory.ntp},
        {QStringLiteral("clockOffsetSeconds"), inventory.clockOffsetSeconds}};
    if (json) {
        QJsonObject object{{"mainStream", streams.mainStream}, {"subStream", streams.subStream}};
        if (withInventory) {
            QJsonObject fields;
            for (const auto& [key, value] : inventoryFields) fields[key] = QString::fromStdString(value);
            object["inventory"] = fields;
        }
        QJsonArray list;
        for (std::size_t i = 0; i < streams.streams.size(); ++i) {
            const quorvi::StreamInfo& info = streams.streams[i];
            QJsonObject item{{"uri", info.address},   {"profile", info.profile},   {"name", info.name},
                             {"source", info.source}, {"encoding", info.encoding}, {"width", info.width},
                             {"height", info.height}};
            if (info.otherHost) item["otherHost"] = true;
            if (info.hostReplaced) item["hostReplaced"] = true;
            if (const auto* c = checkOf(i); c && all) item["check"] = CheckJson(*c);
            list.append(item);
        }
        object["streams"] = list;
        if (const auto* c = checkOf(0)) object["mainCheck"] = CheckJson(*c);
        if (const auto* c = checkOf(1)) object["subCheck"] = CheckJson(*c);
        PrintLine(SafeJson(QJsonDocument(object), QJsonDocument::Compact));
    } else {
        // `cells`: already escaped.
        const auto line = [&](const QString& label, std::size_t i, const QString& cells) {
            QString text = label + '\t' + cells;
            if (const auto* c = checkOf(i)) text += '\t' + EscapeField(CheckWords(*c));
            PrintLine(text);
        };
        line(QStringLiteral("mainStream:"), 0, EscapeField(streams.mainStream));
        line(QStringLiteral("subStream:"), 1, EscapeField(streams.subStream));
        for (std::size_t i = 0; all && i < streams.streams.size(); ++i) {
            const quorvi::StreamInfo& info = streams.streams[i];
            QString what = info.profile + ' ' + info.encoding;
            if (info.width > 0) what += QStringLiteral(" %1x%2").arg(info.width).arg(info.height);
            line(QStringLiteral("stream:"), i, EscapeField(info.address) + '\t' + EscapeField(what));
        }
        for (const auto& [key, value] : inventoryFields) {
            if (withInventory) PrintLine(key + ":\t" + EscapeField(QString::fromStdString(value)));
        }
    }
    return check && !allPlay ? 3 : 0;
}

int Snapshot(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("help"), QString()},
                       {QStringLiteral("user"), QString(), QStringLiteral("U")},
                       {QStringLiteral("password"), QString(), QStringLiteral("P")},
                       {{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")},
                       {QStringLiteral("check"), QString()}});
    int status = 0;
    if (!ParseCommand(parser, "snapshot", args, status)) return status;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) return BadArguments("snapshot needs the device's service address");
    if (positional.size() > 1)
        return BadArguments("unknown argument to snapshot: " + positional[1].toStdString());
    const QString output = parser.value(QStringLiteral("o"));
    if (output.isEmpty()) return BadArguments("snapshot needs -o FILE (- for standard output)");

    const quorvi::SnapshotResult picture = quorvi::RequestSnapshot(
        positional.front(), parser.value(QStringLiteral("user")), parser.value(QStringLiteral("password")));
    if (picture.result < 0) {
        std::fprintf(stderr, "quorvi-cli: %s\n", picture.errorText.toLocal8Bit().constData());
        return 1;
    }
    // The bytes are written as they came; --check says whether a viewer could decode them safely.
    int checked = 0;
    if (parser.isSet(QStringLiteral("check"))) {
        const quorvi::JpegHeader header = quorvi::ReadJpegHeader(
            std::string_view(picture.jpeg.constData(), static_cast<std::size_t>(picture.jpeg.size())));
        const QString words = QString::fromStdString(quorvi::PictureSizeProblem(header));
        if (!words.isEmpty()) checked = 3;
        std::fprintf(
            stderr, "quorvi-cli: %s\n",
            (words.isEmpty()
                 ? QStringLiteral("the picture declares %1\u00d7%2").arg(header.width).arg(header.height)
                 : words)
                .toLocal8Bit()
                .constData());
    }
    if (output == QLatin1String("-")) {
        const auto size = static_cast<std::size_t>(picture.jpeg.size());
        if (std::fwrite(picture.jpeg.constData(), 1, size, stdout) != size || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "quorvi-cli: cannot write the picture to standard output\n");
            return 1;
        }
        return checked;
    }
    // A reader never sees half a picture.
    if (const QString error = quorvi::WriteWholeFile(output, picture.jpeg, false); !error.isEmpty()) {
        std::fprintf(stderr, "quorvi-cli: cannot write %s: %s\n", output.toLocal8Bit().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    return checked;
}

int FrameCommand(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("help"), QString()},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("sub"), QString()},
                       {QStringLiteral("user"), QString(), QStringLiteral("U")},
                       {QStringLiteral("password"), QString(), QStringLiteral("P")},
                       {{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")}});
    int status = 0;
    if (!ParseCommand(parser, "frame", args, status)) return status;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return BadArguments("frame needs the device's service address or an rtsp:// address");
    if (positional.size() > 1)
        return BadArguments("unknown argument to frame: " + positional[1].toStdString());
    const QString output = parser.value(QStringLiteral("o"));
    if (output.isEmpty()) return BadArguments("frame needs -o FILE.png");
    const QString uri = positional.front();
    const QString user = parser.value(QStringLiteral("user"));
    const QString password = parser.value(QStringLiteral("password"));
    const bool sub = parser.isSet(QStringLiteral("sub"));

    // The stream: one named directly (its host is the one the user named), or the device's main or sub.
    quorvi::StreamAddresses streams;
    std::size_t which = 0;
    if (uri.startsWith(QLatin1String("rtsp://"), Qt::CaseInsensitive)) {
        if (sub) return BadArguments("--sub goes with a device's service address, not an rtsp:// address");
        QUrl plain(uri);
        plain.setUserInfo(QString());
        quorvi::StreamInfo info;
        info.uri = plain.toString(QUrl::FullyEncoded).toStdString();
        quorvi::ItemUri item;
        item.hasUri = item.hasText = true;
        item.text = info.uri;
        info.address = quorvi::ComposeStreamAddress(item, user, password);
        streams.streams.push_back(info);
        streams.user = user;
        streams.password = password;
    } else {
        streams = quorvi::RequestStreamAddresses(uri, user, password);
        if (streams.result < 0) {
            std::fprintf(stderr, "quorvi-cli: %s\n", streams.errorText.toLocal8Bit().constData());
            return 1;
        }
        which = sub ? 1 : 0;
        if (which >= streams.streams.size()) {
            std::fprintf(stderr, "quorvi-cli: the device has one stream only\n");
            return 1;
        }
    }
    const std::vector<quorvi::StreamCheckResult> checks = quorvi::CheckStreamAddresses(streams, uri, {which});
    const quorvi::live::Opening opening = quorvi::live::OpeningAfterCheck(
        streams.streams[which], checks.front(), streams.user, streams.password);
    if (opening.url.empty()) {  // the device answered; its stream gives no frame
        std::fprintf(stderr, "quorvi-cli: %s\n", opening.refusal.toLocal8Bit().constData());
        return 3;
    }
    // The rate over a second of frames after the first.
    const quorvi::live::FirstFrame first =
        quorvi::live::DecodeFirstFrame(opening.url, std::chrono::milliseconds(1000));
    if (first.outcome != quorvi::live::Outcome::Done) {
        std::fprintf(stderr, "quorvi-cli: %s: %s\n", quorvi::live::OutcomeName(first.outcome),
                     first.detail.c_str());
        return 3;
    }
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !first.frame.image.save(&buffer, "PNG")) {
        std::fprintf(stderr, "quorvi-cli: cannot make a PNG of the frame\n");
        return 1;
    }
    if (const QString error = quorvi::WriteWholeFile(output, png, false); !error.isEmpty()) {
        std::fprintf(stderr, "quorvi-cli: cannot write %s: %s\n", output.toLocal8Bit().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    const quorvi::live::Frame& f = first.frame;
    const double seconds = static_cast<double>(f.sinceOpen.count()) / 1000.0;
    if (parser.isSet(QStringLiteral("json"))) {
        const QJsonObject object{{"file", output},
                                 {"encoding", QString::fromStdString(f.encoding)},
                                 {"width", f.width},
                                 {"height", f.height},
                                 {"firstFrameSeconds", seconds},
                                 {"framesPerSecond", f.framesPerSecond}};
        PrintLine(SafeJson(QJsonDocument(object), QJsonDocument::Compact));
    } else {
        PrintLine(EscapeField(output) +
                  QStringLiteral("\t%1 %2x%3\t%4 s to the first frame\t%5 frames a second")
                      .arg(QString::fromStdString(f.encoding))
                      .arg(f.width)
                      .arg(f.height)
                      .arg(seconds, 0, 'f', 2)
                      .arg(f.framesPerSecond, 0, 'f', 1));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorvi-cli");
    QCoreApplication::setApplicationVersion(QUORVI_VERSION);

    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.empty()) return BadArguments("no command given");
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == QLatin1String("--version")) {
        std::printf("quorvi-cli %s\n", QUORVI_VERSION);
        return 0;
    }
    if (command == QLatin1String("discover")) return Discover(args);
    if (command == QLatin1String("streams")) return Streams(args);
    if (command == QLatin1String("snapshot")) return Snapshot(args);
    if (command == QLatin1String("survey")) return Survey(args);
    if (command == QLatin1String("frame")) return FrameCommand(args);
    return BadArguments("unknown command: " + command.toStdString());
}

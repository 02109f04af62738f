// quorvi-cli: the window's discovery and stream requests without a window.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceList.h"
#include "StreamRequest.h"
#include "onvifc.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int signal) {
    const unsigned char s = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &s, 1);
}

const char kUsage[] =
    "usage: quorvi-cli discover [--cycles N] [--json]\n"
    "       quorvi-cli streams URI [--user U] [--password P] [--json]\n"
    "       quorvi-cli --help | --version\n"
    "\n"
    "discover   probes every network of this machine for ONVIF devices, N cycles (default 1),\n"
    "           and prints one line per device, newest first: id, time online, onvif address\n"
    "streams    reads the main and sub stream addresses of the device whose service address is URI,\n"
    "           with the credentials inside the addresses when both are given\n";

int BadArguments(const std::string& message) {
    std::fprintf(stderr, "quorvi-cli: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// A field of the tab-separated output, with everything that could split a line or a cell, or reach the
// terminal as a control sequence, written as an escape.
QString EscapeField(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\\') out += QStringLiteral("\\\\");
        else if (u == '\t') out += QStringLiteral("\\t");
        else if (u == '\n') out += QStringLiteral("\\n");
        else if (u == '\r') out += QStringLiteral("\\r");
        else if (u < 0x20 || (u >= 0x7f && u <= 0x9f)) out += QStringLiteral("\\x%1").arg(u, 2, 16, QChar('0'));
        else out += c;
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

int Discover(const std::vector<std::string>& args) {
    int cycles = 1;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--cycles") {
            if (i + 1 >= args.size()) return BadArguments("--cycles needs a number");
            long n = 0;
            if (!ParseCount(args[++i], 1, 1000000, n)) {
                return BadArguments("--cycles takes a whole number from 1 to 1000000");
            }
            cycles = static_cast<int>(n);
        } else {
            return BadArguments("unknown argument to discover: " + args[i]);
        }
    }

    quorvi::DiscoveryHost host;
    QObject::connect(&host, &quorvi::DiscoveryHost::finished, QCoreApplication::instance(), &QCoreApplication::quit);
    // Ctrl-C or SIGTERM ends discovery early, but what was found so far is still printed.
    int caught = 0;
    std::unique_ptr<QSocketNotifier> stopSignals;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        stopSignals = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(stopSignals.get(), &QSocketNotifier::activated, [&caught] {
            unsigned char s = 0;
            if (::read(g_signalPipe[0], &s, 1) == 1 && caught == 0) caught = s;
            QCoreApplication::quit();
        });
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        ::sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    }
    try {
        host.Start(quorvi::DiscoverySources{}, cycles);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvi-cli: discovery could not start: %s\n", e.what());
        return 1;
    }
    QCoreApplication::exec();
    host.Stop();
    // Sightings the worker handed over before it stopped are still queued.
    QCoreApplication::processEvents();

    const quorvi::DeviceListModel& model = host.Model();
    if (json) {
        QJsonArray rows;
        for (int r = 0; r < model.rowCount(); ++r) {
            rows.append(QJsonObject{{"id", model.Cell(r, quorvi::kColumnId)},
                                    {"time_online", model.Cell(r, quorvi::kColumnTimeOnline)},
                                    {"onvif", model.Cell(r, quorvi::kColumnOnvif)}});
        }
        PrintLine(QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Indented)).trimmed());
    } else {
        for (int r = 0; r < model.rowCount(); ++r) {
            PrintLine(EscapeField(model.Cell(r, quorvi::kColumnId)) + '\t' +
                      EscapeField(model.Cell(r, quorvi::kColumnTimeOnline)) + '\t' +
                      EscapeField(model.Cell(r, quorvi::kColumnOnvif)));
        }
    }
    std::fflush(stdout);
    return caught ? 128 + caught : 0;
}

int Streams(const std::vector<std::string>& args) {
    QString uri;
    QString user;
    QString password;
    bool haveUri = false;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--user" || a == "--password") {
            if (i + 1 >= args.size()) return BadArguments(a + " needs a value");
            (a == "--user" ? user : password) = QString::fromLocal8Bit(args[++i].c_str());
        } else if (a.rfind("-", 0) == 0 || haveUri) {
            return BadArguments("unknown argument to streams: " + a);
        } else {
            uri = QString::fromLocal8Bit(a.c_str());
            haveUri = true;
        }
    }
    if (!haveUri) return BadArguments("streams needs the device's service address");

    const quorvi::StreamAddresses streams = quorvi::RequestStreamAddresses(uri, user, password);
    if (streams.result < 0) {
        std::fprintf(stderr, "quorvi-cli: %s\n", Onvif_ErrorText(streams.result));
        return 1;
    }
    if (json) {
        const QJsonObject object{{"mainStream", streams.mainStream}, {"subStream", streams.subStream}};
        PrintLine(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    } else {
        PrintLine("mainStream:\t" + streams.mainStream);
        PrintLine("subStream:\t" + streams.subStream);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorvi-cli");
    QCoreApplication::setApplicationVersion(QUORVI_VERSION);

    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return BadArguments("no command given");
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("quorvi-cli %s\n", QUORVI_VERSION);
        return 0;
    }
    if (command == "discover") return Discover(args);
    if (command == "streams") return Streams(args);
    return BadArguments("unknown command: " + command);
}

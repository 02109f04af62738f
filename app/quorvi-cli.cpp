// quorvi-cli: the window's discovery and stream requests without a window.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceList.h"
#include "StreamRequest.h"
#include "onvifc.h"

namespace {

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

void PrintLine(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

int Discover(const std::vector<std::string>& args) {
    int cycles = 1;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--cycles") {
            if (i + 1 >= args.size()) return BadArguments("--cycles needs a number");
            char* end = nullptr;
            const long n = std::strtol(args[++i].c_str(), &end, 10);
            if (*end != '\0' || end == args[i].c_str() || n < 1 || n > 1000000)
                return BadArguments("--cycles takes a whole number from 1 to 1000000");
            cycles = static_cast<int>(n);
        } else {
            return BadArguments("unknown argument to discover: " + args[i]);
        }
    }

    quorvi::DiscoveryHost host;
    QObject::connect(&host, &quorvi::DiscoveryHost::finished, QCoreApplication::instance(), &QCoreApplication::quit);
    try {
        host.Start(quorvi::DiscoverySources{}, cycles);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvi-cli: discovery could not start: %s\n", e.what());
        return 1;
    }
    QCoreApplication::exec();
    host.Stop();

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
            PrintLine(model.Cell(r, quorvi::kColumnId) + '\t' + model.Cell(r, quorvi::kColumnTimeOnline) + '\t' +
                      model.Cell(r, quorvi::kColumnOnvif));
        }
    }
    return 0;
}

int Streams(const std::vector<std::string>& args) {
    QString uri;
    QString user;
    QString password;
    bool haveUri = false;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--user" || a == "--password") {
            if (i + 1 >= args.size()) return BadArguments(a + " needs a value");
            (a == "--user" ? user : password) = QString::fromLocal8Bit(args[++i].c_str());
        } else if (a.rfind("--", 0) == 0 || haveUri) {
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

#include "Discovering.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "CliSupport.h"
#include "DeviceList.h"
#include "DiscoveryHost.h"
#include "TextSafety.h"

namespace quorvi::cli {

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

}  // namespace quorvi::cli

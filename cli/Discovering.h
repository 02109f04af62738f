#pragma once

// Discovery as discover and survey run it: their shared options, the run, and the rows printed.
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <memory>
#include <optional>

#include "DeviceList.h"
#include "DiscoveryHost.h"

namespace quorvi::cli {

// What discover (and survey, which discovers first) is asked to do.
struct DiscoverOptions {
    quorvi::DiscoverySources sources;
    quorvi::TargetList targets;
    int cycles = 1;
    bool json = false;
};

void AddDiscoverOptions(QCommandLineParser& parser);
// Reads discover's options. An exit status when the command ends here: wrong options.
std::optional<int> ReadDiscoverOptions(const QCommandLineParser& parser, const char* command,
                                       DiscoverOptions& o);
// Prints the rows themselves, newest first.
void PrintDevices(const quorvi::DeviceRegistry& devices, bool json);
// Runs the cycles asked for (or until a stop signal, whose number goes into `caught`). An exit status
// when discovery could not run.
std::optional<int> RunDiscovery(quorvi::DiscoveryHost& host, const DiscoverOptions& o, int& caught,
                                std::unique_ptr<QSocketNotifier>& stopSignals);

}  // namespace quorvi::cli

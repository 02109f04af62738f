
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <memory>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "Discovering.h"
#include "DiscoveryHost.h"

namespace quorvi::cli {

namespace {

// Its lines of the usage.
constexpr char kSynopsis[] =
    R"(quorvi-cli discover [--cycles N] [--json] [--target SPEC]... [--ports PORTS] [--rate N]
                           [--ipv4-only | --ipv6-only]
)";
constexpr char kDescription[] =
    R"(discover   probes every network of this machine for ONVIF devices, N cycles (default 1),
           and prints one line per device, newest first: id, time online, onvif address;
           --target also probes SPEC by unicast each cycle (an IPv4 address, a range A-B or a
           block A/N up to /16; several, comma-separated), at most --rate probes a second (1000);
           --ports default (80,8000,8080,8899,2020,5000) or P,... looks for ONVIF on those ports of
           each target that answered no Probe (one GetSystemDateAndTime, no credentials);
           IPv6 links are probed on ff02::c after the IPv4 addresses (--ipv4-only, --ipv6-only)
)";

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

class DiscoverCommand final : public Command {
public:
    DiscoverCommand() : Command("discover", kSynopsis, kDescription) {}
    int Run(const QStringList& args) override { return Discover(args); }
};

}  // namespace

std::unique_ptr<Command> MakeDiscoverCommand() { return std::make_unique<DiscoverCommand>(); }

}  // namespace quorvi::cli

// A site in one pass: `quorvi-cli survey` against 200 devices answering each request after 50 ms, with the
// stream check (8 devices at a time, the default, and 16), and against 1000 quick ones; its wall time, how
// many rows came out well, and the survey process's peak memory. Runs inside the private test network.
// The wall time includes discovery: the first rows come when the first probe exchange ends (3.5 s per local
// address), and each device then takes six round trips (four to read its streams, two to check them).
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace quorvi::test;

namespace {

// Runs the survey under a small Python parent whose only child it is, so the peak memory it reports is the
// survey's own.
void Measure(int devices, int delayMs, bool check, int jobs, int httpPort, int rtspPort) {
    ChildProcess fakecam({FakecamPath(), "--bind", "198.18.0.1", "--devices", std::to_string(devices),
                          "--max-delay-ms", "500", "--delay-ms", std::to_string(delayMs), "--auth", "digest",
                          "--http-port", std::to_string(httpPort), "--rtsp-port", std::to_string(rtspPort)});
    if (!fakecam.WaitForLine("ready")) {
        std::printf("fakecam did not start\n");
        return;
    }
    std::vector<std::string> argv{"/usr/bin/python3",
                                  "-c",
                                  "import resource, subprocess, sys\n"
                                  "r = subprocess.run(sys.argv[1:])\n"
                                  "sys.stderr.write('peak %d\\n' % "
                                  "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
                                  "sys.exit(r.returncode)\n",
                                  CliPath(),
                                  "survey",
                                  "--user",
                                  "admin",
                                  "--password",
                                  "40718",
                                  "--json",
                                  "--jobs",
                                  std::to_string(jobs)};
    if (check) argv.push_back("--check");
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = RunProcess(argv, std::chrono::minutes(5));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    int well = 0;
    for (const QJsonValue& row : rows) well += row.toObject()["error"].toString().isEmpty() ? 1 : 0;
    long peakKb = 0;
    if (const auto at = r.err.rfind("peak "); at != std::string::npos)
        peakKb = std::stol(r.err.substr(at + 5));
    std::printf(
        "%4d devices, %2d ms per answer%s, %2d at a time: %4d rows, %4d well, exit %d, "
        "%.1f s wall (discovery included), peak memory %.0f MB\n",
        devices, delayMs, check ? ", checked" : "", jobs, static_cast<int>(rows.size()), well, r.exitCode,
        seconds, static_cast<double>(peakKb) / 1024.0);
}

}  // namespace

int main() {
    RequirePrivateNetwork();
    Measure(200, 50, true, 8, 18901, 18951);
    Measure(200, 50, true, 16, 18903, 18953);
    Measure(1000, 0, false, 8, 18902, 18952);
    return 0;
}

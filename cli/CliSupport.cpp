#include "CliSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "Command.h"

namespace quorvi::cli {

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int signal) {
    const unsigned char s = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &s, 1);
}

}  // namespace

std::string Usage() {
    std::string usage;
    for (const auto& c : Commands())
        usage += (usage.empty() ? "usage: " : "       ") + std::string(c->Synopsis());
    usage += "       quorvi-cli --help | --version\n\n";
    for (const auto& c : Commands()) usage += c->Description();
    return usage;
}

int BadArguments(const std::string& message) {
    std::fprintf(stderr, "quorvi-cli: %s\n%s", message.c_str(), Usage().c_str());
    return 2;
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
        std::fputs(Usage().c_str(), stdout);
        status = 0;
        return false;
    }
    return true;
}

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

}  // namespace quorvi::cli

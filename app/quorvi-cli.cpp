// quorvi-cli: the window's discovery and stream requests without a window. Each command is a class of
// its own (cli/).
#include <QCoreApplication>
#include <cstdio>

#include "CliSupport.h"
#include "Command.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorvi-cli");
    QCoreApplication::setApplicationVersion(QUORVI_VERSION);

    using namespace quorvi::cli;
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.empty()) return BadArguments("no command given");
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (command == QLatin1String("--version")) {
        std::printf("quorvi-cli %s\n", QUORVI_VERSION);
        return 0;
    }
    for (const auto& c : Commands()) {
        if (command == QLatin1String(c->Name())) return c->Run(args);
    }
    return BadArguments("unknown command: " + command.toStdString());
}

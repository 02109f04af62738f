// Quorvi: the window.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>

#include "BackgroundCall.h"
#include "QuorviDlg.h"

int main(int argc, char** argv) {
    // --help and --version answer before any display is needed; Qt's own options (-platform, -style ...)
    // are left to QApplication.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Finds ONVIF cameras and video encoders on every network of this machine and reads "
                       "the RTSP addresses "
                       "of their main and sub streams."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.parse(arguments);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                        QStringLiteral("quorvi"))),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Quorvi %s\n", QUORVI_VERSION);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvi"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVI_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quorvi"));
    {
        quorvi::CQuorviDlg dialog;
        dialog.exec();
    }
    // A "get" still under way would only hold the process up; its window is gone.
    if (quorvi::GetCallsInFlight() > 0) std::_Exit(0);
    return 0;
}

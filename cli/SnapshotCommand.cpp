
#include <QCommandLineParser>
#include <cstdio>
#include <memory>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "FileOutput.h"
#include "JpegHeader.h"
#include "SnapshotRequest.h"

namespace quorvi::cli {

namespace {

// Its lines of the usage.
constexpr char kSynopsis[] = R"(quorvi-cli snapshot URI [--user U] [--password P] [--check] -o FILE
)";
constexpr char kDescription[] =
    R"(snapshot   writes a still picture (JPEG) of that device to FILE, whole or not at all; - for
           standard output; --check says the size the picture declares (exit 3 when no camera
           makes such a picture)
)";

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

class SnapshotCommand final : public Command {
public:
    SnapshotCommand() : Command("snapshot", kSynopsis, kDescription) {}
    int Run(const QStringList& args) override { return Snapshot(args); }
};

}  // namespace

std::unique_ptr<Command> MakeSnapshotCommand() { return std::make_unique<SnapshotCommand>(); }

}  // namespace quorvi::cli


#include <QBuffer>
#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <cstdio>
#include <memory>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "FileOutput.h"
#include "LiveSource.h"
#include "StreamRequest.h"
#include "TextSafety.h"

namespace quorvi::cli {

namespace {

// Its lines of the usage.
constexpr char kSynopsis[] = R"(quorvi-cli frame URI -o FILE.png [--sub] [--user U] [--password P] [--json]
)";
constexpr char kDescription[] =
    R"(frame      writes the first decoded frame of the main (--sub: sub) stream of that device, or of
           an rtsp:// address, to FILE.png, whole or not at all; exit 3 when it does not decode
)";

int Frame(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("help"), QString()},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("sub"), QString()},
                       {QStringLiteral("user"), QString(), QStringLiteral("U")},
                       {QStringLiteral("password"), QString(), QStringLiteral("P")},
                       {{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")}});
    int status = 0;
    if (!ParseCommand(parser, "frame", args, status)) return status;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return BadArguments("frame needs the device's service address or an rtsp:// address");
    if (positional.size() > 1)
        return BadArguments("unknown argument to frame: " + positional[1].toStdString());
    const QString output = parser.value(QStringLiteral("o"));
    if (output.isEmpty()) return BadArguments("frame needs -o FILE.png");
    const QString uri = positional.front();
    const QString user = parser.value(QStringLiteral("user"));
    const QString password = parser.value(QStringLiteral("password"));
    const bool sub = parser.isSet(QStringLiteral("sub"));

    // The stream: one named directly (its host is the one the user named), or the device's main or sub.
    quorvi::StreamAddresses streams;
    std::size_t which = 0;
    if (uri.startsWith(QLatin1String("rtsp://"), Qt::CaseInsensitive)) {
        if (sub) return BadArguments("--sub goes with a device's service address, not an rtsp:// address");
        QUrl plain(uri);
        plain.setUserInfo(QString());
        quorvi::StreamInfo info;
        info.uri = plain.toString(QUrl::FullyEncoded).toStdString();
        quorvi::ItemUri item;
        item.hasUri = item.hasText = true;
        item.text = info.uri;
        info.address = quorvi::ComposeStreamAddress(item, user, password);
        streams.streams.push_back(info);
        streams.user = user;
        streams.password = password;
    } else {
        streams = quorvi::RequestStreamAddresses(uri, user, password);
        if (streams.result < 0) {
            std::fprintf(stderr, "quorvi-cli: %s\n", streams.errorText.toLocal8Bit().constData());
            return 1;
        }
        which = sub ? 1 : 0;
        if (which >= streams.streams.size()) {
            std::fprintf(stderr, "quorvi-cli: the device has one stream only\n");
            return 1;
        }
    }
    const std::vector<quorvi::StreamCheckResult> checks = quorvi::CheckStreamAddresses(streams, uri, {which});
    const quorvi::live::Opening opening = quorvi::live::OpeningAfterCheck(
        streams.streams[which], checks.front(), streams.user, streams.password);
    if (opening.url.empty()) {  // the device answered; its stream gives no frame
        std::fprintf(stderr, "quorvi-cli: %s\n", opening.refusal.toLocal8Bit().constData());
        return 3;
    }
    // The rate over a second of frames after the first.
    const quorvi::live::FirstFrame first =
        quorvi::live::DecodeFirstFrame(opening.url, std::chrono::milliseconds(1000));
    if (first.outcome != quorvi::live::Outcome::Done) {
        std::fprintf(stderr, "quorvi-cli: %s: %s\n", quorvi::live::OutcomeName(first.outcome),
                     first.detail.c_str());
        return 3;
    }
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !first.frame.image.save(&buffer, "PNG")) {
        std::fprintf(stderr, "quorvi-cli: cannot make a PNG of the frame\n");
        return 1;
    }
    if (const QString error = quorvi::WriteWholeFile(output, png, false); !error.isEmpty()) {
        std::fprintf(stderr, "quorvi-cli: cannot write %s: %s\n", output.toLocal8Bit().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    const quorvi::live::Frame& f = first.frame;
    const double seconds = static_cast<double>(f.sinceOpen.count()) / 1000.0;
    if (parser.isSet(QStringLiteral("json"))) {
        const QJsonObject object{{"file", output},
                                 {"encoding", QString::fromStdString(f.encoding)},
                                 {"width", f.width},
                                 {"height", f.height},
                                 {"firstFrameSeconds", seconds},
                                 {"framesPerSecond", f.framesPerSecond}};
        PrintLine(SafeJson(QJsonDocument(object), QJsonDocument::Compact));
    } else {
        PrintLine(EscapeField(output) +
                  QStringLiteral("\t%1 %2x%3\t%4 s to the first frame\t%5 frames a second")
                      .arg(QString::fromStdString(f.encoding))
                      .arg(f.width)
                      .arg(f.height)
                      .arg(seconds, 0, 'f', 2)
                      .arg(f.framesPerSecond, 0, 'f', 1));
    }
    return 0;
}

class FrameCommand final : public Command {
public:
    FrameCommand() : Command("frame", kSynopsis, kDescription) {}
    int Run(const QStringList& args) override { return Frame(args); }
};

}  // namespace

std::unique_ptr<Command> MakeFrameCommand() { return std::make_unique<FrameCommand>(); }

}  // namespace quorvi::cli

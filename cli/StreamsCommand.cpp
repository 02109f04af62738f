
#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "LiveSource.h"
#include "StreamRequest.h"
#include "Survey.h"
#include "TextSafety.h"

namespace quorvi::cli {

namespace {

// Its lines of the usage.
constexpr char kSynopsis[] =
    R"(quorvi-cli streams URI [--user U] [--password P] [--all] [--check] [--decode] [--inventory]
                          [--json]
)";
constexpr char kDescription[] =
    R"(streams    reads the main and sub stream addresses of the device whose service address is URI,
           with the credentials inside the addresses when both are given; --all prints every
           video stream, --check asks each address shown whether it plays (RTSP DESCRIBE;
           exit 3 when one does not), --decode goes on to decode a frame of each that plays
)";

// A stream's check as JSON: {"state", "encoding", "width", "height", "detail"}.
QJsonObject CheckJson(const quorvi::StreamCheckResult& c) {
    QJsonObject o{{"state", c.state}, {"encoding", c.encoding}, {"width", c.width}, {"height", c.height}};
    if (!c.detail.isEmpty()) o["detail"] = c.detail;
    return o;
}

QString CheckWords(const quorvi::StreamCheckResult& c) {
    QString words = c.state;
    if (!c.encoding.isEmpty()) words += ' ' + c.encoding;
    if (c.width > 0) words += QStringLiteral(" %1x%2").arg(c.width).arg(c.height);
    if (!c.Plays() && !c.detail.isEmpty()) words += ": " + c.detail;
    return words;
}

// streams --decode: each stream that plays is opened as its check allows and one frame of it decoded; its
// state becomes "decodes" (with the decoded encoding and size) or why not. After a refused login the
// device's other streams are not tried: one refused login per device per call.
void DecodeEach(const quorvi::StreamAddresses& streams, const QString& user, const QString& password,
                std::vector<quorvi::StreamCheckResult>& checks) {
    bool refused = false;
    for (std::size_t i = 0; i < checks.size() && i < streams.streams.size(); ++i) {
        quorvi::StreamCheckResult& c = checks[i];
        if (!c.Plays()) continue;
        if (refused) {
            c.state = QStringLiteral("not-tried");
            c.detail = QStringLiteral("the device refused the credentials for another stream");
            continue;
        }
        const quorvi::live::Opening opening =
            quorvi::live::OpeningAfterCheck(streams.streams[i], c, user, password);
        if (opening.url.empty()) {
            c.state = opening.state;
            c.detail = opening.refusal;
            continue;
        }
        const quorvi::live::FirstFrame first = quorvi::live::DecodeFirstFrame(opening.url);
        c.state = QString::fromLatin1(quorvi::live::OutcomeName(first.outcome));
        c.detail = QString::fromStdString(first.detail);
        if (first.outcome == quorvi::live::Outcome::Done) {
            c.encoding = QString::fromStdString(first.frame.encoding);
            c.width = first.frame.width;
            c.height = first.frame.height;
        }
        refused = first.outcome == quorvi::live::Outcome::Refused;
    }
}

int Streams(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("help"), QString()},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("all"), QString()},
                       {QStringLiteral("check"), QString()},
                       {QStringLiteral("decode"), QString()},
                       {QStringLiteral("inventory"), QString()},
                       {QStringLiteral("user"), QString(), QStringLiteral("U")},
                       {QStringLiteral("password"), QString(), QStringLiteral("P")}});
    int status = 0;
    if (!ParseCommand(parser, "streams", args, status)) return status;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) return BadArguments("streams needs the device's service address");
    if (positional.size() > 1)
        return BadArguments("unknown argument to streams: " + positional[1].toStdString());
    const QString uri = positional.front();
    const QString user = parser.value(QStringLiteral("user"));
    const QString password = parser.value(QStringLiteral("password"));
    const bool json = parser.isSet(QStringLiteral("json"));
    const bool all = parser.isSet(QStringLiteral("all"));
    const bool decode = parser.isSet(QStringLiteral("decode"));
    const bool check = parser.isSet(QStringLiteral("check")) || decode;

    const bool withInventory = parser.isSet(QStringLiteral("inventory"));
    quorvi::DocumentInventory inventory;
    const quorvi::StreamAddresses streams =
        withInventory ? quorvi::RequestStreamsAndInventory(uri, user, password, inventory)
                      : quorvi::RequestStreamAddresses(uri, user, password);
    if (streams.result < 0) {
        std::fprintf(stderr, "quorvi-cli: %s\n", streams.errorText.toLocal8Bit().constData());
        return 1;
    }
    // The streams shown: main and sub, or with --all every one.
    std::vector<std::size_t> shown;
    for (std::size_t i = 0; i < streams.streams.size() && (all || i < 2); ++i) shown.push_back(i);
    std::vector<quorvi::StreamCheckResult> checks;
    if (check) checks = quorvi::CheckStreamAddresses(streams, uri, shown);
    if (decode) DecodeEach(streams, user, password, checks);
    const auto checkOf = [&](std::size_t i) -> const quorvi::StreamCheckResult* {
        return check && i < checks.size() ? &checks[i] : nullptr;
    };
    const bool allPlay = std::all_of(checks.begin(), checks.end(), [&](const auto& c) {
        return decode ? c.state == QLatin1String("decodes") : c.Plays();
    });
    // The inventory's fields, as the survey names them.
    const std::vector<std::pair<QString, std::string>> inventoryFields{
        {QStringLiteral("manufacturer"), inventory.manufacturer},
        {QStringLiteral("model"), inventory.model},
        {QStringLiteral("firmware"), inventory.firmware},
        {QStringLiteral("serial"), inventory.serial},
        {QStringLiteral("mac"), inventory.mac},
        {QStringLiteral("ntp"), inventory.ntp},
        {QStringLiteral("clockOffsetSeconds"), inventory.clockOffsetSeconds}};
    if (json) {
        QJsonObject object{{"mainStream", streams.mainStream}, {"subStream", streams.subStream}};
        if (withInventory) {
            QJsonObject fields;
            for (const auto& [key, value] : inventoryFields) fields[key] = QString::fromStdString(value);
            object["inventory"] = fields;
        }
        QJsonArray list;
        for (std::size_t i = 0; i < streams.streams.size(); ++i) {
            const quorvi::StreamInfo& info = streams.streams[i];
            QJsonObject item{{"uri", info.address},   {"profile", info.profile},   {"name", info.name},
                             {"source", info.source}, {"encoding", info.encoding}, {"width", info.width},
                             {"height", info.height}};
            if (info.otherHost) item["otherHost"] = true;
            if (info.hostReplaced) item["hostReplaced"] = true;
            if (const auto* c = checkOf(i); c && all) item["check"] = CheckJson(*c);
            list.append(item);
        }
        object["streams"] = list;
        if (const auto* c = checkOf(0)) object["mainCheck"] = CheckJson(*c);
        if (const auto* c = checkOf(1)) object["subCheck"] = CheckJson(*c);
        PrintLine(SafeJson(QJsonDocument(object), QJsonDocument::Compact));
    } else {
        // `cells`: already escaped.
        const auto line = [&](const QString& label, std::size_t i, const QString& cells) {
            QString text = label + '\t' + cells;
            if (const auto* c = checkOf(i)) text += '\t' + EscapeField(CheckWords(*c));
            PrintLine(text);
        };
        line(QStringLiteral("mainStream:"), 0, EscapeField(streams.mainStream));
        line(QStringLiteral("subStream:"), 1, EscapeField(streams.subStream));
        for (std::size_t i = 0; all && i < streams.streams.size(); ++i) {
            const quorvi::StreamInfo& info = streams.streams[i];
            QString what = info.profile + ' ' + info.encoding;
            if (info.width > 0) what += QStringLiteral(" %1x%2").arg(info.width).arg(info.height);
            line(QStringLiteral("stream:"), i, EscapeField(info.address) + '\t' + EscapeField(what));
        }
        for (const auto& [key, value] : inventoryFields) {
            if (withInventory) PrintLine(key + ":\t" + EscapeField(QString::fromStdString(value)));
        }
    }
    return check && !allPlay ? 3 : 0;
}

class StreamsCommand final : public Command {
public:
    StreamsCommand() : Command("streams", kSynopsis, kDescription) {}
    int Run(const QStringList& args) override { return Streams(args); }
};

}  // namespace

std::unique_ptr<Command> MakeStreamsCommand() { return std::make_unique<StreamsCommand>(); }

}  // namespace quorvi::cli

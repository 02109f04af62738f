#include "LiveSource.h"

namespace quorvi::live {

Opening OpeningAfterCheck(const StreamInfo& stream, const StreamCheckResult& check, const QString& user,
                          const QString& password) {
    Opening o;
    if (stream.uri.empty()) {
        o.refusal = QStringLiteral("the device gave no address for this stream");
    } else if (check.state == QLatin1String("basic-only")) {
        o.refusal = QStringLiteral("the stream asks for Basic only; the password was not sent");
    } else if (check.state == QLatin1String("other-host")) {
        o.refusal =
            QStringLiteral("the stream is served by another host than the device; the password was not sent");
    } else if (check.Plays() && (static_cast<std::int64_t>(check.width) * check.height > kMaxPixels ||
                                 static_cast<std::int64_t>(stream.width) * stream.height > kMaxPixels)) {
        // The size its parameter sets declare, or else the size its profile does.
        const bool declared = static_cast<std::int64_t>(check.width) * check.height > kMaxPixels;
        o.refusal = QStringLiteral("the stream declares %1x%2, larger than any camera's")
                        .arg(declared ? check.width : stream.width)
                        .arg(declared ? check.height : stream.height);
        o.state = QString::fromLatin1(OutcomeName(Outcome::TooLarge));
    } else if (!check.Plays()) {
        o.refusal = check.state + (check.detail.isEmpty() ? QString() : QStringLiteral(": ") + check.detail);
    } else if (stream.otherHost || user.isEmpty() || password.isEmpty()) {
        o.url = stream.uri;  // it played without credentials; none go to another host
    } else {
        o.url = stream.address.toStdString();
    }
    return o;
}

FirstFrame DecodeFirstFrame(const std::string& url, std::chrono::milliseconds measureFor) {
    FirstFrame first;
    Reader reader(url);
    std::chrono::milliseconds until{};
    first.outcome = reader.Run(
        [&](const Frame& f) {
            if (f.number == 1) {
                first.frame = f;
                until = f.sinceOpen + measureFor;
            } else {
                first.frame.framesPerSecond = f.framesPerSecond;
            }
            return f.sinceOpen < until;
        },
        first.detail);
    // A rate was asked for and the stream ended or went quiet after the first frame: the frame stands.
    if (first.frame.number == 1 && first.outcome != Outcome::Stopped) first.outcome = Outcome::Done;
    return first;
}

}  // namespace quorvi::live

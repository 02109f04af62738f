#include "Survey.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace quorvi {

const QStringList& SurveyColumns() {
    static const QStringList columns{"id",         "name",        "hardware",  "location",     "host",
                                     "onvif",      "mainStream",  "subStream", "mainEncoding", "mainWidth",
                                     "mainHeight", "subEncoding", "subWidth",  "subHeight",    "mainCheck",
                                     "subCheck",   "error"};
    return columns;
}

namespace {

QString Number(int n) { return n > 0 ? QString::number(n) : QString(); }

}  // namespace

QStringList SurveyFields(const SurveyRow& r) {
    return {r.id,
            r.name,
            r.hardware,
            r.location,
            r.host,
            r.onvif,
            r.mainStream,
            r.subStream,
            r.mainEncoding,
            Number(r.mainWidth),
            Number(r.mainHeight),
            r.subEncoding,
            Number(r.subWidth),
            Number(r.subHeight),
            r.mainCheck,
            r.subCheck,
            r.error};
}

void SurveyDevice(SurveyRow& row, const QString& user, const QString& password, bool check,
                  const GetStreamUriFunction& getStreamUri, const CheckStreamsFunction& checkStreams) {
    const StreamAddresses streams = RequestStreamAddresses(row.onvif, user, password, getStreamUri);
    row.done = true;
    if (streams.result < 0) {
        row.error = streams.errorText;
        return;
    }
    row.mainStream = streams.mainStream;
    row.subStream = streams.subStream;
    if (!streams.streams.empty()) {
        row.mainEncoding = streams.streams[0].encoding;
        row.mainWidth = streams.streams[0].width;
        row.mainHeight = streams.streams[0].height;
    }
    if (streams.streams.size() > 1) {
        row.subEncoding = streams.streams[1].encoding;
        row.subWidth = streams.streams[1].width;
        row.subHeight = streams.streams[1].height;
    }
    if (!check) return;
    std::vector<std::size_t> shown;
    for (std::size_t i = 0; i < 2 && i < streams.streams.size(); ++i) shown.push_back(i);
    const std::vector<StreamCheckResult> checks =
        CheckStreamAddresses(streams, row.onvif, shown, checkStreams);
    QStringList why;
    for (std::size_t i = 0; i < checks.size() && i < 2; ++i) {
        (i == 0 ? row.mainCheck : row.subCheck) = checks[i].state;
        if (!checks[i].Plays()) {
            why << QStringLiteral("%1 does not play (%2%3)")
                       .arg(i == 0 ? QStringLiteral("mainStream") : QStringLiteral("subStream"),
                            checks[i].state,
                            checks[i].detail.isEmpty() ? QString() : QStringLiteral(": ") + checks[i].detail);
        }
    }
    row.error = why.join(QStringLiteral("; "));
}

void RunSurvey(std::vector<SurveyRow>& rows, int jobs, const QString& user, const QString& password,
               bool check, const std::atomic<bool>& stop, const std::function<void(std::size_t)>& finished,
               const GetStreamUriFunction& getStreamUri, const CheckStreamsFunction& checkStreams) {
    std::atomic<std::size_t> next{0};
    std::mutex reporting;
    auto work = [&] {
        for (;;) {
            if (stop.load()) return;
            const std::size_t i = next++;
            if (i >= rows.size()) return;
            SurveyDevice(rows[i], user, password, check, getStreamUri, checkStreams);
            std::lock_guard<std::mutex> lock(reporting);
            if (finished) finished(i);
        }
    };
    const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(rows.size())));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer at a time, then
        }
    }
    work();
    for (std::thread& t : pool) t.join();
}

bool SurveyRowIsWell(const SurveyRow& row) { return row.done && row.error.isEmpty(); }

QString CsvField(const QString& text) {
    QString field = text;
    if (!field.isEmpty() && (field[0] == '=' || field[0] == '+' || field[0] == '-' || field[0] == '@' ||
                             field[0] == '\t' || field[0] == '\r')) {
        field.prepend('\'');
    }
    if (field.contains(',') || field.contains('"') || field.contains('\n') || field.contains('\r')) {
        field.replace(QStringLiteral("\""), QStringLiteral("\"\""));
        field = '"' + field + '"';
    }
    return field;
}

QString SurveyCsv(const std::vector<SurveyRow>& rows) {
    QString out = SurveyColumns().join(',') + QStringLiteral("\r\n");
    for (const SurveyRow& row : rows) {
        QStringList fields;
        for (const QString& f : SurveyFields(row)) fields << CsvField(f);
        out += fields.join(',') + QStringLiteral("\r\n");
    }
    return out;
}

QJsonObject SurveyJson(const SurveyRow& r) {
    return QJsonObject{{"id", r.id},
                       {"name", r.name},
                       {"hardware", r.hardware},
                       {"location", r.location},
                       {"host", r.host},
                       {"onvif", r.onvif},
                       {"mainStream", r.mainStream},
                       {"subStream", r.subStream},
                       {"mainEncoding", r.mainEncoding},
                       {"mainWidth", r.mainWidth},
                       {"mainHeight", r.mainHeight},
                       {"subEncoding", r.subEncoding},
                       {"subWidth", r.subWidth},
                       {"subHeight", r.subHeight},
                       {"mainCheck", r.mainCheck},
                       {"subCheck", r.subCheck},
                       {"error", r.error}};
}

}  // namespace quorvi

#include "Survey.h"

#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "SameHost.h"
#include "onvifc.h"

namespace quorvi {

const QStringList& SurveyColumns() {
    static const QStringList columns{
        "id",         "name",        "hardware",           "location",     "host",
        "onvif",      "mainStream",  "subStream",          "mainEncoding", "mainWidth",
        "mainHeight", "subEncoding", "subWidth",           "subHeight",    "mainCheck",
        "subCheck",   "error",       "manufacturer",       "model",        "firmware",
        "serial",     "mac",         "clockOffsetSeconds", "ntp",          "open"};
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
            r.error,
            r.manufacturer,
            r.model,
            r.firmware,
            r.serial,
            r.mac,
            r.clockOffsetSeconds,
            r.ntp,
            r.open};
}

GetStreamUriFunction LibraryGetInventory() { return Onvif_GetInventory; }

StreamAddresses RequestStreamsAndInventory(const QString& uri, const QString& user, const QString& password,
                                           DocumentInventory& inventory,
                                           const GetStreamUriFunction& getInventory) {
    // The document as the library wrote it, for its inventory.
    std::string document;
    const GetStreamUriFunction keeping = [&](char* buf, int size, const char* address, const char* u,
                                             const char* p) {
        const int rc = getInventory(buf, size, address, u, p);
        if (rc >= 0) document.assign(buf, ::strnlen(buf, static_cast<std::size_t>(size)));
        return rc;
    };
    StreamAddresses streams = RequestStreamAddresses(uri, user, password, keeping);
    inventory = ReadInventory(document.c_str());
    return streams;
}

void SurveyDevice(SurveyRow& row, const QString& user, const QString& password, bool check,
                  const GetStreamUriFunction& getStreamUri, const CheckStreamsFunction& checkStreams) {
    const QString serviceHost = QUrl(row.onvif).host();
    if (!row.from.isEmpty() && !onvifc::SameHost(serviceHost.toStdString(), row.from.toStdString())) {
        row.done = true;
        row.error = QStringLiteral("the device at %1 advertises a service on host %2: not asked")
                        .arg(row.from, serviceHost.isEmpty() ? row.onvif : serviceHost);
        return;
    }
    DocumentInventory inventory;
    const StreamAddresses streams =
        RequestStreamsAndInventory(row.onvif, user, password, inventory, getStreamUri);
    row.done = true;
    const bool noCredentials = streams.user.isEmpty() || streams.password.isEmpty();
    if (streams.result < 0) {
        row.error = streams.errorText;
        if (noCredentials && streams.result == ONVIF_ERR_NOT_AUTHORIZED) row.open = QStringLiteral("no");
        return;
    }
    row.manufacturer = QString::fromStdString(inventory.manufacturer);
    row.model = QString::fromStdString(inventory.model);
    row.firmware = QString::fromStdString(inventory.firmware);
    row.serial = QString::fromStdString(inventory.serial);
    row.mac = QString::fromStdString(inventory.mac);
    row.clockOffsetSeconds = QString::fromStdString(inventory.clockOffsetSeconds);
    row.ntp = QString::fromStdString(inventory.ntp);
    if (noCredentials && inventory.open) row.open = QStringLiteral("yes");
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

SurveyPool::SurveyPool(int jobs, QString user, QString password, bool check, const std::atomic<bool>& stop,
                       Finished finished, GetStreamUriFunction getStreamUri,
                       CheckStreamsFunction checkStreams)
    : m_user(std::move(user)),
      m_password(std::move(password)),
      m_check(check),
      m_stop(stop),
      m_finished(std::move(finished)),
      m_getStreamUri(std::move(getStreamUri)),
      m_checkStreams(std::move(checkStreams)) {
    for (int t = 0; t < std::max(1, jobs); ++t) {
        try {
            m_threads.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            if (m_threads.empty()) throw;
            break;  // fewer at a time, then
        }
    }
}

SurveyPool::~SurveyPool() { Wait(); }

void SurveyPool::Add(SurveyRow row) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting.emplace_back(m_added++, std::move(row));
    }
    m_changed.notify_one();
}

void SurveyPool::Wait() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
    for (std::thread& t : m_threads) {
        if (t.joinable()) t.join();
    }
}

void SurveyPool::Work() {
    for (;;) {
        std::pair<std::size_t, SurveyRow> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // A stop is looked for now and then: the one who sets it need not tell the pool.
            while (m_waiting.empty() && !m_closed && !m_stop.load())
                m_changed.wait_for(lock, std::chrono::milliseconds(100));
            if (m_stop.load() || m_waiting.empty()) return;
            job = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        SurveyDevice(job.second, m_user, m_password, m_check, m_getStreamUri, m_checkStreams);
        std::lock_guard<std::mutex> lock(m_reporting);
        if (m_finished) m_finished(job.first, job.second);
    }
}

void RunSurvey(std::vector<SurveyRow>& rows, int jobs, const QString& user, const QString& password,
               bool check, const std::atomic<bool>& stop, const std::function<void(std::size_t)>& finished,
               const GetStreamUriFunction& getStreamUri, const CheckStreamsFunction& checkStreams) {
    SurveyPool pool(
        std::min<int>(jobs, static_cast<int>(std::max<std::size_t>(rows.size(), 1))), user, password, check,
        stop,
        [&](std::size_t i, const SurveyRow& done) {
            rows[i] = done;
            if (finished) finished(i);
        },
        getStreamUri, checkStreams);
    for (const SurveyRow& row : rows) pool.Add(row);
    pool.Wait();
}

SurveyRow KnownAsListed(SurveyRow read, const SurveyRow& listed) {
    read.name = listed.name;
    read.hardware = listed.hardware;
    read.location = listed.location;
    read.host = listed.host;
    return read;
}

bool SurveyRowIsWell(const SurveyRow& row) { return row.done && row.error.isEmpty(); }

QString CsvField(const QString& text) {
    QString field = text;
    // Spreadsheets skip white space before a formula and read the full-width forms as the signs.
    static const QString kFormulaSigns = QStringLiteral("=+-@|\uFF1D\uFF0B\uFF0D\uFF20\uFF5C");
    qsizetype first = 0;
    while (first < field.size() && field[first].isSpace()) ++first;
    if ((first < field.size() && kFormulaSigns.contains(field[first])) ||
        (!field.isEmpty() && (field[0] == '\t' || field[0] == '\r'))) {
        field.prepend('\'');
    }
    // A semicolon splits fields where it is the list separator: quoted, the field stays one.
    if (field.contains(',') || field.contains('"') || field.contains('\n') || field.contains('\r') ||
        field.contains(';')) {
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
    return QJsonObject{
        {"id", r.id},
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
        {"error", r.error},
        {"manufacturer", r.manufacturer},
        {"model", r.model},
        {"firmware", r.firmware},
        {"serial", r.serial},
        {"mac", r.mac},
        {"clockOffsetSeconds",
         r.clockOffsetSeconds.isEmpty() ? QJsonValue() : QJsonValue(r.clockOffsetSeconds.toLongLong())},
        {"ntp", r.ntp},
        {"open", r.open}};
}

}  // namespace quorvi

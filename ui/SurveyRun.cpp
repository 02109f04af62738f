#include "SurveyRun.h"

#include <QMetaObject>
#include <atomic>
#include <mutex>

#include "BackgroundCall.h"

namespace quorvi {

// The run a window started: the object it reports to (cleared, under the lock, when that goes) and what
// tells its threads to begin no further device.
struct CSurveyRun::Pending {
    std::mutex mutex;
    CSurveyRun* owner = nullptr;
    std::atomic<bool> stop{false};
};

CSurveyRun::CSurveyRun(GetStreamUriFunction surveyStreams, CheckStreamsFunction checkStreams, QObject* parent)
    : QObject(parent), m_surveyStreams(std::move(surveyStreams)), m_checkStreams(std::move(checkStreams)) {}

CSurveyRun::~CSurveyRun() {
    if (!m_pending) return;
    std::lock_guard<std::mutex> lock(m_pending->mutex);
    m_pending->owner = nullptr;
    m_pending->stop = true;
}

bool CSurveyRun::Start(std::vector<SurveyRow> rows, const QString& user, const QString& password, int jobs) {
    if (m_pending) return false;  // one at a time
    if (rows.empty()) return true;
    auto pending = std::make_shared<Pending>();
    pending->owner = this;
    m_pending = pending;
    auto call = [pending, rows = std::move(rows), user, password, jobs, getStreamUri = m_surveyStreams,
                 checkStreams = m_checkStreams]() mutable {
        RunSurvey(
            rows, jobs, user, password, true, pending->stop,
            [&](std::size_t i) {
                std::lock_guard<std::mutex> lock(pending->mutex);
                if (!pending->owner) return;
                QMetaObject::invokeMethod(
                    pending->owner,
                    [owner = pending->owner, row = rows[i]] { owner->m_found.insert(row.id, row); },
                    Qt::QueuedConnection);
            },
            getStreamUri, checkStreams);
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->owner) {
            QMetaObject::invokeMethod(
                pending->owner,
                [owner = pending->owner, pending] {
                    if (owner->m_pending == pending) owner->m_pending.reset();
                },
                Qt::QueuedConnection);
        }
    };
    if (!StartBackgroundCall(std::move(call))) {
        m_pending.reset();
        return false;
    }
    return true;
}

const SurveyRow* CSurveyRun::Found(const QString& id) const {
    const auto it = m_found.find(id);
    return it == m_found.end() ? nullptr : &*it;
}

QString CSurveyRun::Lines(const QString& id, int clockTolerance) const {
    const auto it = m_found.find(id);
    if (it == m_found.end()) return {};
    const SurveyRow& r = *it;
    QStringList lines;
    const auto stream = [&](const char* label, const QString& address, const QString& encoding, int width,
                            int height, const QString& state) {
        if (address.isEmpty()) return;
        QString line = QString::fromLatin1(label) + ' ' + address;
        if (!encoding.isEmpty()) line += ' ' + encoding;
        if (width > 0) line += QStringLiteral(" %1x%2").arg(width).arg(height);
        if (!state.isEmpty()) line += QStringLiteral(" (") + state + ')';
        lines << line;
    };
    stream("mainStream:", r.mainStream, r.mainEncoding, r.mainWidth, r.mainHeight, r.mainCheck);
    stream("subStream:", r.subStream, r.subEncoding, r.subWidth, r.subHeight, r.subCheck);
    if (!r.error.isEmpty()) lines << r.error;
    // The inventory, once read.
    const QString device = QStringList{r.manufacturer, r.model}.join(' ').trimmed();
    if (!device.isEmpty())
        lines << QStringLiteral("device: ") + device +
                     (r.firmware.isEmpty() ? QString() : ", firmware " + r.firmware);
    if (!r.serial.isEmpty()) lines << QStringLiteral("serial: ") + r.serial;
    if (!r.mac.isEmpty()) lines << QStringLiteral("MAC: ") + r.mac;
    if (!r.ntp.isEmpty()) lines << QStringLiteral("NTP: ") + r.ntp;
    if (!r.clockOffsetSeconds.isEmpty()) {
        const qlonglong offset = r.clockOffsetSeconds.toLongLong();
        if (offset > clockTolerance || offset < -clockTolerance) {
            lines << QStringLiteral("clock off by %1 s (%2 ours): recorders refuse such a camera")
                         .arg(offset < 0 ? -offset : offset)
                         .arg(offset < 0 ? QStringLiteral("behind") : QStringLiteral("ahead of"));
        } else {
            lines << QStringLiteral("clock: within %1 s of ours").arg(clockTolerance);
        }
    }
    return lines.join('\n');
}

}  // namespace quorvi

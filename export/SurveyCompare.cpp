#include "SurveyCompare.h"

#include <QHash>
#include <QUrl>

namespace quorvi {

SurveyRow SurveyRowFromJson(const QJsonObject& o) {
    SurveyRow r;
    const auto text = [&](const char* key) { return o.value(QLatin1String(key)).toString(); };
    r.id = text("id");
    r.name = text("name");
    r.hardware = text("hardware");
    r.location = text("location");
    r.host = text("host");
    r.onvif = text("onvif");
    r.mainStream = text("mainStream");
    r.subStream = text("subStream");
    r.mainEncoding = text("mainEncoding");
    r.mainWidth = o.value(QLatin1String("mainWidth")).toInt();
    r.mainHeight = o.value(QLatin1String("mainHeight")).toInt();
    r.subEncoding = text("subEncoding");
    r.subWidth = o.value(QLatin1String("subWidth")).toInt();
    r.subHeight = o.value(QLatin1String("subHeight")).toInt();
    r.mainCheck = text("mainCheck");
    r.subCheck = text("subCheck");
    r.error = text("error");
    r.manufacturer = text("manufacturer");
    r.model = text("model");
    r.firmware = text("firmware");
    r.serial = text("serial");
    r.mac = text("mac");
    const QJsonValue clock = o.value(QLatin1String("clockOffsetSeconds"));
    if (clock.isDouble()) r.clockOffsetSeconds = QString::number(clock.toInteger());
    r.ntp = text("ntp");
    r.open = text("open");
    r.done = true;
    return r;
}

const char* SiteChangeName(SiteChange::Status status) {
    switch (status) {
        case SiteChange::Moved:
            return "moved";
        case SiteChange::New:
            return "new";
        case SiteChange::Missing:
            return "missing";
        case SiteChange::Changed:
            return "changed";
        case SiteChange::Same:
            break;
    }
    return "same";
}

namespace {

QString HostPort(const QString& address) {
    const QUrl url(address);
    if (url.host().isEmpty()) return address;
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    return (url.host().contains(':') ? '[' + url.host() + ']' : url.host()) + ':' + QString::number(port);
}

// A stream address without its credentials, and with the device's host:port put as a placeholder when
// it is the device's: such an address follows the device when it moves.
QString StreamKey(const QString& stream, const QString& onvif) {
    QUrl url(stream);
    url.setUserInfo(QString());
    if (url.host() == QUrl(onvif).host()) url.setHost(QStringLiteral("device"));
    return url.toString();
}

QString Normalised(const QString& mac) { return mac.toLower().remove(':').remove('-'); }

}  // namespace

std::vector<SiteChange> CompareSurveys(const std::vector<SurveyRow>& before,
                                       const std::vector<SurveyRow>& now) {
    QHash<QString, int> byId, byMac, bySerial;
    for (int i = static_cast<int>(before.size()) - 1; i >= 0; --i) {
        const SurveyRow& r = before[static_cast<std::size_t>(i)];
        if (!r.id.isEmpty()) byId.insert(r.id, i);
        if (!r.mac.isEmpty()) byMac.insert(Normalised(r.mac), i);
        if (!r.serial.isEmpty()) bySerial.insert(r.serial, i);
    }
    std::vector<bool> matched(before.size(), false);
    std::vector<SiteChange> out;
    for (std::size_t n = 0; n < now.size(); ++n) {
        const SurveyRow& r = now[n];
        SiteChange c;
        c.id = r.id;
        c.name = r.name;
        c.newIndex = static_cast<int>(n);
        int i = -1;
        bool newId = false;
        const auto take = [&](const QHash<QString, int>& index, const QString& key) {
            if (i >= 0 || key.isEmpty()) return;
            const auto it = index.find(key);
            if (it != index.end() && !matched[static_cast<std::size_t>(*it)]) i = *it;
        };
        take(byId, r.id);
        if (i < 0) {
            take(byMac, Normalised(r.mac));
            take(bySerial, r.serial);
            newId = i >= 0;
        }
        if (i < 0) {
            c.status = SiteChange::New;
            out.push_back(c);
            continue;
        }
        matched[static_cast<std::size_t>(i)] = true;
        c.oldIndex = i;
        const SurveyRow& o = before[static_cast<std::size_t>(i)];
        if (newId) c.fields << QStringLiteral("id");
        if (o.firmware != r.firmware) c.fields << QStringLiteral("firmware");
        if (o.name != r.name) c.fields << QStringLiteral("name");
        if (StreamKey(o.mainStream, o.onvif) != StreamKey(r.mainStream, r.onvif))
            c.fields << QStringLiteral("mainStream");
        if (StreamKey(o.subStream, o.onvif) != StreamKey(r.subStream, r.onvif))
            c.fields << QStringLiteral("subStream");
        if (!o.clockOffsetSeconds.isEmpty() && !r.clockOffsetSeconds.isEmpty() &&
            std::abs(o.clockOffsetSeconds.toLongLong() - r.clockOffsetSeconds.toLongLong()) >
                kClockChangeSeconds)
            c.fields << QStringLiteral("clock");
        if (HostPort(o.onvif) != HostPort(r.onvif)) {
            // Its streams moved with it: the move says so.
            c.fields.removeAll(QStringLiteral("mainStream"));
            c.fields.removeAll(QStringLiteral("subStream"));
            c.status = SiteChange::Moved;
            c.from = HostPort(o.onvif);
            c.to = HostPort(r.onvif);
        } else if (!c.fields.isEmpty()) {
            c.status = SiteChange::Changed;
        }
        out.push_back(c);
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (matched[i]) continue;
        SiteChange c;
        c.status = SiteChange::Missing;
        c.id = before[i].id;
        c.name = before[i].name;
        c.oldIndex = static_cast<int>(i);
        out.push_back(c);
    }
    return out;
}

}  // namespace quorvi

#include "RecorderExport.h"

#include <yaml-cpp/yaml.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include "TextSafety.h"

namespace quorvi {

std::optional<ExportFormat> ExportFormatNamed(const QString& name) {
    if (name == QLatin1String("csv")) return ExportFormat::Csv;
    if (name == QLatin1String("json")) return ExportFormat::Json;
    if (name == QLatin1String("frigate")) return ExportFormat::Frigate;
    if (name == QLatin1String("go2rtc")) return ExportFormat::Go2rtc;
    if (name == QLatin1String("milestone")) return ExportFormat::Milestone;
    return std::nullopt;
}

namespace {

// A device a recorder can be given: its main stream was read.
bool Recordable(const SurveyRow& row) { return row.done && !row.mainStream.isEmpty(); }

// A name as recorders take camera names: lower case letters, digits and '_', at most 48 of them.
QString KeyOf(const QString& text) {
    QString key;
    bool gap = false;
    for (const QChar c : text.normalized(QString::NormalizationForm_KD).toLower()) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            if (gap && !key.isEmpty()) key += '_';
            key += c;
            gap = false;
        } else {
            gap = true;
        }
        if (key.size() >= 48) break;
    }
    return key;
}

// The stream address with its password replaced, or the address as it is when it has none.
QString WithPassword(const QString& address, const QString& replacement) {
    const qsizetype scheme = address.indexOf(QStringLiteral("://"));
    if (scheme < 0) return address;
    const qsizetype start = scheme + 3;
    qsizetype end = address.indexOf('/', start);
    if (end < 0) end = address.size();
    const qsizetype at = address.lastIndexOf('@', end);
    if (at < start) return address;
    const qsizetype colon = address.indexOf(':', start);
    const qsizetype userEnd = colon >= 0 && colon < at ? colon : at;
    return address.left(userEnd) + ':' + replacement + address.mid(at);
}

// The user name and password inside a stream address (percent-decoded), if any.
std::pair<QString, QString> CredentialsOf(const QString& address) {
    const QUrl url(address);
    return {url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded)};
}

std::string Utf8(const QString& text) { return text.toStdString(); }

// A key YAML would read as anything but a string ("123", "null", "yes", "0x1f") is written quoted.
void Key(YAML::Emitter& out, const QString& key) {
    static const QRegularExpression plain(QStringLiteral("^[a-z][a-z0-9_]*$"));
    static const QSet<QString> words{"y", "n", "yes", "no", "on", "off", "true", "false", "null"};
    out << YAML::Key;
    if (!plain.match(key).hasMatch() || words.contains(key)) out << YAML::DoubleQuoted;
    out << Utf8(key);
}

// Every text from the network is written as a quoted string: no YAML of its own gets in.
void Text(YAML::Emitter& out, const QString& text) { out << YAML::DoubleQuoted << Utf8(text); }

QByteArray Frigate(const std::vector<SurveyRow>& rows, const std::vector<QString>& names,
                   bool withPasswords) {
    YAML::Emitter out;
    out << YAML::BeginMap << YAML::Key << "go2rtc" << YAML::Value << YAML::BeginMap << YAML::Key << "streams"
        << YAML::Value << YAML::BeginMap;
    const auto stream = [&](const QString& address) {
        return withPasswords ? address
                             : WithPassword(address, QString::fromLatin1(kFrigatePasswordPlaceholder));
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (names[i].isEmpty()) continue;
        Key(out, names[i]);
        out << YAML::Value << YAML::BeginSeq;
        Text(out, stream(rows[i].mainStream));
        out << YAML::EndSeq;
        if (rows[i].subStream.isEmpty()) continue;
        Key(out, names[i] + QStringLiteral("_sub"));
        out << YAML::Value << YAML::BeginSeq;
        Text(out, stream(rows[i].subStream));
        out << YAML::EndSeq;
    }
    out << YAML::EndMap << YAML::EndMap;
    out << YAML::Key << "cameras" << YAML::Value << YAML::BeginMap;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (names[i].isEmpty()) continue;
        const SurveyRow& r = rows[i];
        const bool sub = !r.subStream.isEmpty();
        Key(out, names[i]);
        out << YAML::Value << YAML::BeginMap << YAML::Key << "ffmpeg" << YAML::Value << YAML::BeginMap
            << YAML::Key << "inputs" << YAML::Value << YAML::BeginSeq;
        // The recorder reads its own restream of each camera stream (go2rtc, above).
        const auto input = [&](const QString& restream, std::initializer_list<const char*> roles) {
            out << YAML::BeginMap << YAML::Key << "path" << YAML::Value;
            Text(out, QStringLiteral("rtsp://127.0.0.1:8554/") + restream);
            out << YAML::Key << "input_args" << YAML::Value << "preset-rtsp-restream" << YAML::Key << "roles"
                << YAML::Value << YAML::BeginSeq;
            for (const char* role : roles) out << role;
            out << YAML::EndSeq << YAML::EndMap;
        };
        if (sub) {
            input(names[i], {"record"});
            input(names[i] + QStringLiteral("_sub"), {"detect"});
        } else {
            input(names[i], {"record", "detect"});
        }
        out << YAML::EndSeq << YAML::EndMap;
        const int width = sub ? r.subWidth : r.mainWidth;
        const int height = sub ? r.subHeight : r.mainHeight;
        if (width > 0 && height > 0) {
            out << YAML::Key << "detect" << YAML::Value << YAML::BeginMap << YAML::Key << "width"
                << YAML::Value << width << YAML::Key << "height" << YAML::Value << height << YAML::EndMap;
        }
        const QUrl service(r.onvif);
        const auto [user, password] = CredentialsOf(r.mainStream);
        out << YAML::Key << "onvif" << YAML::Value << YAML::BeginMap << YAML::Key << "host" << YAML::Value;
        Text(out, service.host());
        out << YAML::Key << "port" << YAML::Value
            << service.port(service.scheme() == QLatin1String("https") ? 443 : 80);
        if (!user.isEmpty()) {
            out << YAML::Key << "user" << YAML::Value;
            Text(out, user);
            out << YAML::Key << "password" << YAML::Value;
            Text(out, withPasswords ? password : QString::fromLatin1(kFrigatePasswordPlaceholder));
        }
        out << YAML::EndMap << YAML::EndMap;
    }
    out << YAML::EndMap << YAML::EndMap;
    return QByteArray(out.c_str()) + '\n';
}

QByteArray Go2rtc(const std::vector<SurveyRow>& rows, const std::vector<QString>& names, bool withPasswords) {
    YAML::Emitter out;
    out << YAML::BeginMap << YAML::Key << "streams" << YAML::Value << YAML::BeginMap;
    const auto stream = [&](const QString& address) {
        return withPasswords ? address
                             : WithPassword(address, QString::fromLatin1(kGo2rtcPasswordPlaceholder));
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (names[i].isEmpty()) continue;
        Key(out, names[i]);
        out << YAML::Value;
        Text(out, stream(rows[i].mainStream));
        if (rows[i].subStream.isEmpty()) continue;
        Key(out, names[i] + QStringLiteral("_sub"));
        out << YAML::Value;
        Text(out, stream(rows[i].subStream));
    }
    out << YAML::EndMap << YAML::EndMap;
    return QByteArray(out.c_str()) + '\n';
}

// XProtect's hardware import: one device a line, its address (http://host, with :port when not 80) and
// administrator account; the name is optional.
QByteArray Milestone(const std::vector<SurveyRow>& rows, const std::vector<QString>& names,
                     bool withPasswords) {
    QString out = QStringLiteral("HardwareAddress,HardwareUsername,HardwarePassword,HardwareName\r\n");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (names[i].isEmpty()) continue;
        const QUrl service(rows[i].onvif);
        QString address = QStringLiteral("http://") +
                          (service.host().contains(':') ? '[' + service.host() + ']' : service.host());
        if (service.port(80) != 80) address += ':' + QString::number(service.port());
        const auto [user, password] = CredentialsOf(rows[i].mainStream);
        const QString name = rows[i].name.isEmpty() ? names[i] : rows[i].name;
        out += QStringList{CsvField(address), CsvField(user), CsvField(withPasswords ? password : QString()),
                           CsvField(name)}
                   .join(',') +
               QStringLiteral("\r\n");
    }
    return out.toUtf8();
}

}  // namespace

std::vector<QString> CameraNames(const std::vector<SurveyRow>& rows, const ExportOptions& options) {
    std::vector<QString> names(rows.size());
    QSet<QString> taken;
    // The names kept from before first, so that no new device takes one.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!Recordable(rows[i])) continue;
        const QString kept = KeyOf(options.names.value(rows[i].id));
        if (!kept.isEmpty() && !taken.contains(kept)) {
            names[i] = kept;
            taken.insert(kept);
        }
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!Recordable(rows[i]) || !names[i].isEmpty()) continue;
        QString base = KeyOf(rows[i].name);
        if (base.isEmpty()) base = KeyOf(QUrl(rows[i].onvif).host());
        if (base.isEmpty()) base = QStringLiteral("camera");
        QString name = base;
        for (int n = 2; taken.contains(name) || taken.contains(name + QStringLiteral("_sub")); ++n)
            name = base + '_' + QString::number(n);
        names[i] = name;
        taken.insert(name);
    }
    return names;
}

QByteArray WriteExport(const std::vector<SurveyRow>& rows, ExportFormat format,
                       const ExportOptions& options) {
    switch (format) {
        case ExportFormat::Csv:
            return SurveyCsv(rows).toUtf8();
        case ExportFormat::Json: {
            QJsonArray list;
            for (const SurveyRow& row : rows) list.append(SurveyJson(row));
            return SurveyJsonText(QJsonDocument(list));
        }
        case ExportFormat::Frigate:
            return Frigate(rows, CameraNames(rows, options), options.withPasswords);
        case ExportFormat::Go2rtc:
            return Go2rtc(rows, CameraNames(rows, options), options.withPasswords);
        case ExportFormat::Milestone:
            return Milestone(rows, CameraNames(rows, options), options.withPasswords);
    }
    return {};
}

bool ExportHoldsPassword(const std::vector<SurveyRow>& rows, ExportFormat format,
                         const ExportOptions& options) {
    if (format == ExportFormat::Csv || format == ExportFormat::Json) {
        return std::any_of(rows.begin(), rows.end(), [](const SurveyRow& r) {
            return !CredentialsOf(r.mainStream).second.isEmpty() ||
                   !CredentialsOf(r.subStream).second.isEmpty();
        });
    }
    return options.withPasswords;
}

}  // namespace quorvi

#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>
#include <vector>

#include "Survey.h"

namespace quorvi {

// What a survey can be written as: its own CSV and JSON, and the files recorders import.
enum class ExportFormat { Csv, Json, Frigate, Go2rtc, Milestone };

// "csv", "json", "frigate", "go2rtc", "milestone"; nothing for another word.
std::optional<ExportFormat> ExportFormatNamed(const QString& name);

struct ExportOptions {
    // The recorder formats carry no password unless asked: Frigate and go2rtc get their environment
    // placeholders instead, Milestone an empty password column.
    bool withPasswords = false;
    // The camera names to keep, by device id (a survey compared with an earlier one keeps the earlier
    // names of devices that moved, so the recorder's cameras keep theirs).
    QHash<QString, QString> names;
};

// The rows in `format`. Recorder formats list the devices whose streams were read. Camera names come from
// the device's name, else its host: lower case letters, digits and '_', unique, never a YAML word of
// another type ("123", "null", "yes" stay strings: YAML is written by yaml-cpp, never by hand).
QByteArray WriteExport(const std::vector<SurveyRow>& rows, ExportFormat format,
                       const ExportOptions& options = {});

// Whether that file holds a password (then it is written for its owner only): the survey's CSV and JSON
// when the stream addresses carry credentials, the recorder formats when asked for passwords.
bool ExportHoldsPassword(const std::vector<SurveyRow>& rows, ExportFormat format,
                         const ExportOptions& options);

// The camera names the recorder formats give the rows, in their order (empty for rows left out).
std::vector<QString> CameraNames(const std::vector<SurveyRow>& rows, const ExportOptions& options = {});

// The Frigate and go2rtc placeholders for the password.
inline const char* kFrigatePasswordPlaceholder = "{FRIGATE_RTSP_PASSWORD}";
inline const char* kGo2rtcPasswordPlaceholder = "${CAMERA_PASSWORD}";

}  // namespace quorvi

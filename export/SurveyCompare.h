#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

#include "Survey.h"

namespace quorvi {

// A survey row read back from a survey's own JSON (SurveyJson); fields it lacks stay empty.
SurveyRow SurveyRowFromJson(const QJsonObject& object);

// What became of one device between two surveys of a site.
struct SiteChange {
    enum Status { Same, Moved, New, Missing, Changed } status = Same;
    QString id;  // as now (as before for a missing device)
    QString name;
    QString from;        // moved: host:port before
    QString to;          // moved: host:port now
    QStringList fields;  // changed (or moved and changed): firmware, mainStream, subStream, name, clock, id
    int oldIndex = -1;   // the row of the old survey it was matched with
    int newIndex = -1;
};

const char* SiteChangeName(SiteChange::Status status);  // "same", "moved", "new", "missing", "changed"

// A clock that moved this far (seconds) between two surveys is a change.
constexpr long kClockChangeSeconds = 10;

// Matches each device of `now` with one of `before`: by its id, then its MAC, then its serial (a device
// matched by MAC or serial under a new id has changed its id). A device answering at another host or port
// has moved, which covers the stream addresses that moved with it; other fields that differ are changes.
// Every device of `now` in its order, then those of `before` that are missing.
std::vector<SiteChange> CompareSurveys(const std::vector<SurveyRow>& before,
                                       const std::vector<SurveyRow>& now);

}  // namespace quorvi

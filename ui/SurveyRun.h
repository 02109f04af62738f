#pragma once

// "Read all streams": every listed device's streams, their check and its inventory, read in the
// background, and what was found of each device, by id, for the list's tooltips and "Export list...".
#include <QHash>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "StreamRequest.h"
#include "Survey.h"

namespace quorvi {

class CSurveyRun : public QObject {
    Q_OBJECT
public:
    // `surveyStreams`: the streams with the inventory; `checkStreams`: their check.
    CSurveyRun(GetStreamUriFunction surveyStreams, CheckStreamsFunction checkStreams,
               QObject* parent = nullptr);
    // A run under way reports to nobody any more, and its threads begin no further device.
    ~CSurveyRun() override;

    // The rows, `jobs` devices at a time, one attempt each with these credentials; false when a run is
    // under way already or no thread can be had.
    bool Start(std::vector<SurveyRow> rows, const QString& user, const QString& password, int jobs);
    bool Running() const { return m_pending != nullptr; }
    // What the runs found of the device with this id; nothing before one has read it.
    const SurveyRow* Found(const QString& id) const;
    // The same in lines for a row's tooltip: its streams, their check, its inventory, and its clock against
    // ours (off when further than `clockTolerance` seconds).
    QString Lines(const QString& id, int clockTolerance) const;

private:
    struct Pending;
    GetStreamUriFunction m_surveyStreams;
    CheckStreamsFunction m_checkStreams;
    std::shared_ptr<Pending> m_pending;  // the run under way, if one is
    QHash<QString, SurveyRow> m_found;   // by device id
};

}  // namespace quorvi

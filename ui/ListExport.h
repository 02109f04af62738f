#pragma once

// "Export list...": the file dialog that asks where and in which format, and the file written.
#include <QString>
#include <vector>

#include "RecorderExport.h"
#include "Survey.h"

class QWidget;

namespace quorvi {

struct ExportChoice {
    QString fileName;  // empty: cancelled
    ExportFormat format = ExportFormat::Csv;
    bool withPasswords = false;
};

// The file dialog: a file type per format, and a check box that puts the passwords into recorder files.
ExportChoice AskForExportChoice(QWidget* parent);

// The rows as the command line's survey writes them in that format (its CSV or JSON, or the file a
// recorder imports), into the file whole; readable by its owner only when it holds a password. Returns why
// it failed.
QString WriteListExport(const std::vector<SurveyRow>& rows, const QString& fileName, ExportFormat format,
                        bool withPasswords);

}  // namespace quorvi

#include "ListExport.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>

#include "FileOutput.h"

namespace quorvi {

namespace {

// The file types "Export list..." offers, each with its format.
const std::vector<std::pair<QString, ExportFormat>>& ExportFilters() {
    static const std::vector<std::pair<QString, ExportFormat>> filters{
        {QStringLiteral("Survey list, CSV (*.csv)"), ExportFormat::Csv},
        {QStringLiteral("Survey list, JSON (*.json)"), ExportFormat::Json},
        {QStringLiteral("Frigate configuration (*.yml *.yaml)"), ExportFormat::Frigate},
        {QStringLiteral("go2rtc configuration (*.yaml *.yml)"), ExportFormat::Go2rtc},
        {QStringLiteral("Milestone XProtect hardware import (*.csv)"), ExportFormat::Milestone}};
    return filters;
}

}  // namespace

ExportChoice AskForExportChoice(QWidget* parent) {
    ExportChoice choice;
    QFileDialog dialog(parent, QStringLiteral("Export list"));
    dialog.setObjectName(QStringLiteral("IDD_EXPORT_DIALOG"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);  // it carries a check box of its own
    QStringList names;
    for (const auto& filter : ExportFilters()) names << filter.first;
    dialog.setNameFilters(names);
    auto* passwords = new QCheckBox(QStringLiteral("with passwords (recorder files)"), &dialog);
    passwords->setObjectName(QStringLiteral("IDC_CHECK_WITH_PASSWORDS"));
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
        grid->addWidget(passwords, grid->rowCount(), 0, 1, -1);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return choice;
    choice.fileName = dialog.selectedFiles().front();
    for (const auto& filter : ExportFilters()) {
        if (filter.first == dialog.selectedNameFilter()) choice.format = filter.second;
    }
    choice.withPasswords = passwords->isChecked();
    return choice;
}

QString WriteListExport(const std::vector<SurveyRow>& rows, const QString& fileName, ExportFormat format,
                        bool withPasswords) {
    ExportOptions options;
    options.withPasswords = withPasswords;
    // The survey's own list carries the credentials inside its stream addresses: for its owner's eyes only,
    // as is a recorder's file with the passwords in it.
    const bool secret = format == ExportFormat::Csv || format == ExportFormat::Json ||
                        ExportHoldsPassword(rows, format, options);
    return WriteWholeFile(fileName, WriteExport(rows, format, options), secret);
}

}  // namespace quorvi

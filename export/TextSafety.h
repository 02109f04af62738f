#pragma once

// Device texts as Quorvi writes them out (the command line's lines, the JSON of the command line and of
// "Export list..."): escaped so that nothing from the network can split a line or a cell, reach a terminal
// as a control sequence, or reorder what it shows.
#include <QJsonDocument>
#include <QString>

namespace quorvi {

// Characters that steer a terminal's layout without showing: bidirectional overrides and isolates, other
// format characters (zero-width joiners, the BOM) and the line and paragraph separators.
bool IsInvisibleControl(char32_t u);
// A field of the tab-separated output, with everything that could split a line or a cell, or reach the
// terminal as a control sequence or reorder what it shows, written as an escape.
QString EscapeField(const QString& text);
// JSON as QJsonDocument writes it, but with the 8-bit controls (U+0080-U+009F) and the invisible
// layout controls written as \uXXXX escapes: the same text for a JSON reader, nothing a terminal acts on.
QString SafeJson(const QJsonDocument& document, QJsonDocument::JsonFormat format);
// A survey's JSON as written everywhere: SafeJson, indented, ending in one line feed.
QByteArray SurveyJsonText(const QJsonDocument& document);

}  // namespace quorvi

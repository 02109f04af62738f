#pragma once

// What every command of quorvi-cli shares: the usage, the parsing of its arguments, the printing of a line,
// and Ctrl-C.
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QString>
#include <memory>
#include <string>

namespace quorvi::cli {

// The usage, as every command's synopsis and description make it.
std::string Usage();
// Prints the message and the usage on stderr; 2, the exit status for bad arguments.
int BadArguments(const std::string& message);
// Plain decimal digits only, from `low` to `high`: no sign, no spaces, nothing after them.
bool ParseCount(const std::string& text, long low, long high, long& out);
// One line on stdout, in the locale's encoding.
void PrintLine(const QString& text);
// Parses a command's own arguments; false (after the message, or the usage for --help, and with the exit
// status in `status`) when it is to end here.
bool ParseCommand(QCommandLineParser& parser, const char* command, const QStringList& args, int& status);
// Ctrl-C or SIGTERM ends discovery early, but what was found so far is still printed: the handler only
// writes the signal's number to a pipe, which the event loop reads into `caught`.
std::unique_ptr<QSocketNotifier> CatchStopSignals(int& caught);

}  // namespace quorvi::cli

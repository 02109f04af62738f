#pragma once

// One command of quorvi-cli: its name, its lines of the usage, and its run (its options, their checks and
// what it does). Adding a command: a class of its own in a file of its own, and a line in Commands().
#include <QStringList>
#include <memory>
#include <vector>

namespace quorvi::cli {

class Command {
public:
    virtual ~Command() = default;
    virtual const char* Name() const = 0;
    // Its synopsis (without "usage: ", continuation lines as they stand) and its part of the description.
    virtual const char* Synopsis() const = 0;
    virtual const char* Description() const = 0;
    // Runs it with the arguments after its name; the exit status.
    virtual int Run(const QStringList& args) = 0;
};

// Every command, in the order the usage lists them.
const std::vector<std::unique_ptr<Command>>& Commands();

std::unique_ptr<Command> MakeDiscoverCommand();
std::unique_ptr<Command> MakeStreamsCommand();
std::unique_ptr<Command> MakeFrameCommand();
std::unique_ptr<Command> MakeSnapshotCommand();
std::unique_ptr<Command> MakeSurveyCommand();

}  // namespace quorvi::cli

#pragma once

// One command of quorvi-cli: its name, its lines of the usage, and its run (its options, their checks and
// what it does). Adding a command: a class of its own in a file of its own, and a line in Commands().
#include <QStringList>
#include <memory>
#include <vector>

namespace quorvi::cli {

class Command {
public:
    // Its name, its synopsis (without "usage: ", continuation lines as they stand) and its part of the
    // description: texts that outlive it.
    Command(const char* name, const char* synopsis, const char* description)
        : m_name(name), m_synopsis(synopsis), m_description(description) {}
    virtual ~Command() = default;
    const char* Name() const { return m_name; }
    const char* Synopsis() const { return m_synopsis; }
    const char* Description() const { return m_description; }
    // Runs it with the arguments after its name; the exit status.
    virtual int Run(const QStringList& args) = 0;

private:
    const char* m_name;
    const char* m_synopsis;
    const char* m_description;
};

// Every command, in the order the usage lists them.
const std::vector<std::unique_ptr<Command>>& Commands();

std::unique_ptr<Command> MakeDiscoverCommand();
std::unique_ptr<Command> MakeStreamsCommand();
std::unique_ptr<Command> MakeFrameCommand();
std::unique_ptr<Command> MakeSnapshotCommand();
std::unique_ptr<Command> MakeSurveyCommand();

}  // namespace quorvi::cli

#include "Command.h"

namespace quorvi::cli {

const std::vector<std::unique_ptr<Command>>& Commands() {
    static const std::vector<std::unique_ptr<Command>> commands = [] {
        std::vector<std::unique_ptr<Command>> list;
        list.push_back(MakeDiscoverCommand());
        list.push_back(MakeStreamsCommand());
        list.push_back(MakeFrameCommand());
        list.push_back(MakeSnapshotCommand());
        list.push_back(MakeSurveyCommand());
        return list;
    }();
    return commands;
}

}  // namespace quorvi::cli

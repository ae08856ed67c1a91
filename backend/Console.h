#pragma once
// The backend's commands: one text line in, the output text back. The same commands serve the
// executable's standard input and the admin route (POST /admin).
#include <string>

#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/RankDesk.h"
#include "backend/ReplayStore.h"

namespace brevant::backend {

class Console {
public:
    Console(LogBook& log, Store& store, Hub& hub, RankDesk& ranks, ReplayStore& replays)
        : log_(log), store_(store), hub_(hub), ranks_(ranks), replays_(replays) {}

    // Output of a failed command starts with "error: ". `after` (when given) is done once what
    // the command changed is on disk: its output is told after that, or told with
    // notKeptYet() while the state file cannot be written.
    std::string run(const std::string& line, CommitRef* after = nullptr);
    // The line that says a command's change waits for the state file, and that it will be kept.
    std::string notKeptYet() const;

    static std::string help();

private:
    std::string runLine(const std::string& line, bool& changes);

    LogBook& log_;
    Store& store_;
    Hub& hub_;
    RankDesk& ranks_;
    ReplayStore& replays_;
};

}  // namespace brevant::backend

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
    Console(LogBook& log, Hub& hub, RankDesk& ranks, ReplayStore& replays)
        : log_(log), hub_(hub), ranks_(ranks), replays_(replays) {}

    // Output of a failed command starts with "error: ".
    std::string run(const std::string& line);

    static std::string help();

private:
    LogBook& log_;
    Hub& hub_;
    RankDesk& ranks_;
    ReplayStore& replays_;
};

}  // namespace brevant::backend

#pragma once
// brevant-backend's command line: the options of the server and of the program around it.
#include <string>

#include "backend/Server.h"

namespace brevant::backend {

extern const char* const kUsage;

struct CommandLine {
    enum class Outcome { Run, Help, Error };
    Outcome outcome = Outcome::Run;
    Options options;
    bool console = true;  // read commands from standard input
    std::string error;    // what was wrong, when outcome is Error
};

CommandLine parseCommandLine(int argc, const char* const* argv);

}  // namespace brevant::backend

#pragma once
// brevant-backend's terminal: printed lines with a time stamp, and the commands typed on
// standard input.
#include <string>

#include "backend/Server.h"

namespace brevant::backend {

// Writes one line to standard output, whole, from any thread.
void printLine(const std::string& text);
// "2024-05-01 12:34:56.789" in local time.
std::string timestamp();

// Runs the commands read from standard input (when `console`) until "quit" or "exit", Ctrl-D
// on a terminal, or a byte on `wakeFd` (a signal). When standard input is not a terminal and
// ends, waits for `wakeFd` alone.
void runConsole(Server& server, bool console, int wakeFd);

}  // namespace brevant::backend

#pragma once
#include <string>

namespace brevant {

// Writes one line to the host console, when the console handle is set. Any thread.
void logLine(const std::string& text);

}  // namespace brevant

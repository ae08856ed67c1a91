#pragma once
#include <memory>
#include <string>

class CVarManagerWrapper;

namespace brevant {

// Writes one line to the given console, when there is one. Any thread.
void logTo(const std::shared_ptr<CVarManagerWrapper>& console, const std::string& text);

// Writes one line to the host console through the global handle, when it is set. Any thread.
void logLine(const std::string& text);

}  // namespace brevant

#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class CVarManagerWrapper;

namespace brevant {

// Writes one line to the given console, when there is one. Any thread.
void logTo(const std::shared_ptr<CVarManagerWrapper>& console, const std::string& text);

// Writes one line to the host console through the global handle, when it is set. Any thread.
void logLine(const std::string& text);

// A text from outside (the backend, a peer) as a log line quotes it: at most `limit` bytes, cut
// on a UTF-8 character boundary and ended with "..." when it was longer.
std::string clippedForLog(std::string_view text, std::size_t limit = 256);

// The same, with each control character (and the backslash) written as \xHH, so that no text
// from outside can break a line in two or drive a terminal.
std::string escapedForLog(std::string_view text, std::size_t limit = 256);

}  // namespace brevant

#pragma once
// How the host program shows what happens: one line per event with the host clock and the side.
#include <cstdint>
#include <string>

#include "sdk/HostRuntime.h"

namespace host {

// The plugin's texts are Windows-1252, the backend's UTF-8; a terminal wants UTF-8. Valid UTF-8
// is kept as it is, anything else is read as Windows-1252. Control characters are shown escaped
// (\x0a, \x1b, \u009b), so no text can forge a line or drive the terminal.
std::string toTerminalText(const std::string& text);

// "[   1.234] console | text": the stamp "[   1.234] " and the rest, "console | text".
std::string formatConsoleLine(std::int64_t hostNanos, sdk::OutputKind kind,
                              const std::string& text);
std::string consoleStamp(std::int64_t hostNanos);
std::string consoleText(sdk::OutputKind kind, const std::string& text);

}  // namespace host

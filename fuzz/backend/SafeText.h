#pragma once
// What the backend's fuzz targets require of text meant for a log or a console: no control byte
// that could forge a line or reach the operator's terminal.
#include <string>
#include <string_view>

#include "backend/LogBook.h"
#include "fuzz/Require.h"

namespace fuzz {

// No control byte (nor DEL); newlines only where `newlines` allows them (between the rows of
// an answer).
inline bool safeText(std::string_view text, bool newlines) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && !(newlines && c == '\n')) || byte == 0x7f)
            return false;
    }
    return true;
}

// Makes every line written to `log` checked as it is written.
inline void checkLines(brevant::backend::LogBook& log) {
    log.setSink([](const std::string& line) {
        require(safeText(line, false), "a log line holds no control byte");
    });
}

}  // namespace fuzz

#include "host/ConsoleText.h"

#include <cstdio>

namespace host {
namespace {

bool isValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80           ? 0
                    : (c >> 5) == 0x6  ? 1
                    : (c >> 4) == 0xE  ? 2
                    : (c >> 3) == 0x1E ? 3
                                       : -1;
        if (extra < 0 || i + extra >= s.size())
            return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

// Windows-1252's 0x80-0x9F; the rest of the upper half is Latin-1.
constexpr char16_t cp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Control characters (C0, DEL and C1) as visible escapes: a text from the backend must not
// start a new line of its own or send the terminal an escape sequence.
std::string escapeControls(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    char escaped[8];
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", next);
            out += escaped;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string asUtf8(const std::string& text) {
    if (isValidUtf8(text))
        return text;
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80)
            appendUtf8(out, c);
        else if (c < 0xA0)
            appendUtf8(out, cp1252High[c - 0x80]);
        else
            appendUtf8(out, c);
    }
    return out;
}

}  // namespace

std::string toTerminalText(const std::string& text) {
    return escapeControls(asUtf8(text));
}

std::string formatConsoleLine(std::int64_t hostNanos, sdk::OutputKind kind,
                              const std::string& text) {
    return consoleStamp(hostNanos) + consoleText(kind, text);
}

std::string consoleStamp(std::int64_t hostNanos) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", static_cast<double>(hostNanos) / 1e9);
    return stamp;
}

std::string consoleText(sdk::OutputKind kind, const std::string& text) {
    const char* side = "console";
    switch (kind) {
        case sdk::OutputKind::Log:
            side = "console";
            break;
        case sdk::OutputKind::Toast:
            side = "toast  ";
            break;
        case sdk::OutputKind::Command:
            side = "command";
            break;
        case sdk::OutputKind::Fault:
            side = "FAULT  ";
            break;
        case sdk::OutputKind::Game:
            side = "game   ";
            break;
    }
    return side + std::string(" | ") + toTerminalText(text);
}

}  // namespace host

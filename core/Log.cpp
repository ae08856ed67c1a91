#include "core/Log.h"

#include "core/Globals.h"

namespace brevant {

void logTo(const std::shared_ptr<CVarManagerWrapper>& console, const std::string& text) {
    if (console)
        console->log(text);
}

void logLine(const std::string& text) {
    logTo(globalCvarManager.load(), text);
}

std::string clippedForLog(std::string_view text, std::size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    std::size_t cut = limit;
    // Back off continuation bytes (10xxxxxx) so that no character is cut in two.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string escapedForLog(std::string_view text, std::size_t limit) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : clippedForLog(text, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace brevant

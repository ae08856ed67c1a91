#include "backend/Text.h"

#include <algorithm>

namespace brevant::backend {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number of 1 to `maxDigits` digits, without a leading zero unless it is "0", at most
// `max`.
bool isDecimal(std::string_view text, std::size_t maxDigits, unsigned max) {
    if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text.front() == '0'))
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= max;
}

bool isLoopbackIpv4(std::string_view text) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return false;
        const std::string_view number = text.substr(0, dot);
        if (!isDecimal(number, 3, 255) || (part == 0 && number != "127"))
            return false;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return text.empty();
}

// The length of the UTF-8 sequence at the start of `text` and its code point; 0 when it is not
// a valid, shortest-form sequence of a Unicode scalar value.
std::size_t utf8Sequence(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

// Code points that move text around on a terminal or in an editor without being control bytes.
bool isInvisibleControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendHex(std::string& out, unsigned value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += kHex[(value >> shift) & 0xF];
}

}  // namespace

std::string escaped(std::string_view text, std::size_t max) {
    std::string out;
    out.reserve(std::min(text.size(), max) + 3);
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c = 0;
        const std::size_t length = utf8Sequence(text.substr(i), c);
        if (i + std::max<std::size_t>(length, 1) > max) {
            out += "...";
            break;
        }
        if (length == 0 || c < 0x20 || c == 0x7F) {
            const auto u = static_cast<unsigned char>(text[i]);
            if (u == '\n')
                out += "\\n";
            else if (u == '\r')
                out += "\\r";
            else if (u == '\t')
                out += "\\t";
            else {
                out += "\\x";
                appendHex(out, u, 2);
            }
            ++i;
            continue;
        }
        if (c == '\\')
            out += "\\\\";
        else if (isInvisibleControl(c)) {
            out += "\\u{";
            appendHex(out, static_cast<unsigned>(c), 4);
            out += '}';
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::optional<std::string_view> queryParameter(std::string_view target, std::string_view name) {
    const auto question = target.find('?');
    if (question == std::string_view::npos)
        return std::nullopt;
    std::string_view query = target.substr(question + 1);
    const auto fragment = query.find('#');
    if (fragment != std::string_view::npos)
        query = query.substr(0, fragment);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        if (key == name)
            return eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string_view targetPath(std::string_view target) {
    return target.substr(0, target.find('?'));
}

bool isLoopbackHost(std::string_view host) {
    std::string_view name = host;
    std::optional<std::string_view> port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(0, close + 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            port = rest.substr(1);
        }
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
    }
    if (port && !isDecimal(*port, 5, 65535))
        return false;
    return name == "[::1]" || equalsNoCase(name, "localhost") || isLoopbackIpv4(name);
}

std::optional<std::vector<Word>> splitWords(std::string_view line, std::string& error,
                                            std::size_t limit) {
    std::vector<Word> words;
    std::size_t i = 0;
    while (i < line.size() && (limit == 0 || words.size() < limit)) {
        if (isBlank(line[i]) || line[i] == '\r' || line[i] == '\n') {
            ++i;
            continue;
        }
        Word word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    word.text += line[i++];
                    continue;
                }
                word.text += c;
            }
            if (!closed) {
                error = "unterminated quote";
                return std::nullopt;
            }
        } else {
            while (i < line.size() && !isBlank(line[i]) && line[i] != '\r' && line[i] != '\n')
                word.text += line[i++];
        }
        word.end = i;
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace brevant::backend

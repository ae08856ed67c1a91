#pragma once
// Small text helpers shared by the routes, the hub and the console.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::backend {

// Text that came from a client, made safe for a log line or a console answer: it cannot start
// a new line, move the cursor or send a terminal command, and it reads back unambiguously.
// A backslash becomes \\, newline, carriage return and tab become \n, \r and \t, other
// control bytes and bytes that are not UTF-8 become \xHH, and C1 controls, line separators and
// bidirectional overrides become \u{XXXX}. Other UTF-8 stays as it is. Past `max` bytes of
// input the text is cut (at a character) and "..." follows.
inline constexpr std::size_t kWholeText = static_cast<std::size_t>(-1);
std::string escaped(std::string_view text, std::size_t max = 120);

// Removes spaces and tabs at both ends.
std::string_view trimBlanks(std::string_view text);
// ASCII case-insensitive equality.
bool equalsNoCase(std::string_view a, std::string_view b);

// RFC 3986 percent-decoding. Nullopt when a "%" is not followed by two hexadecimal digits.
// "+" stays "+".
std::optional<std::string> percentDecode(std::string_view text);

// The raw (still encoded) value of the first query parameter called `name` in a request target
// such as "/pair-status?deviceId=abc". Nullopt when it is absent.
std::optional<std::string_view> queryParameter(std::string_view target, std::string_view name);
// The path part of a request target (before "?").
std::string_view targetPath(std::string_view target);

// Whether a Host header value names this machine's loopback literally: 127.x.x.x (four decimal
// parts without leading zeros), [::1] or localhost (any case), each with an optional port.
// A host name that merely resolves to loopback (as in DNS rebinding) does not count.
bool isLoopbackHost(std::string_view host);

// A command line split into words. Words are separated by blanks; a double-quoted word may hold
// blanks, and inside it \" and \\ stand for " and \. `end` is where the word ends in the line
// (so that a command can take "the rest of the line" as typed).
struct Word {
    std::string text;
    std::size_t end = 0;
};
// At most `limit` words (0: all); what follows them is left alone. Nullopt (and `error` set) on
// an unterminated quote.
std::optional<std::vector<Word>> splitWords(std::string_view line, std::string& error,
                                            std::size_t limit = 0);

}  // namespace brevant::backend

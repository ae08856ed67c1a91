#pragma once
// The console's commands, shared by its files only: the parsed arguments, what a command may
// reach, and one function per command (Console.cpp holds the table that names them).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/RankDesk.h"
#include "backend/ReplayStore.h"
#include "backend/Text.h"

namespace brevant::backend::console {

struct Args {
    std::string_view line;
    std::vector<Word> words;  // words[0] is the command

    std::size_t count() const { return words.size() - 1; }
    const std::string& at(std::size_t i) const { return words[i].text; }
    // The line after the first n words, as typed (no unquoting), without surrounding blanks.
    std::string restAfter(std::size_t n) const {
        return std::string(
            trimBlanks(line.substr(n <= words.size() ? words[n - 1].end : line.size())));
    }
};

// What the commands work on.
struct Parts {
    LogBook& log;
    Store& store;
    Hub& hub;
    RankDesk& ranks;
    ReplayStore& replays;
};

using Handler = std::string (*)(Parts&, const Args&);

// "error: " and the text: the output of a failed command.
std::string fail(const std::string& text);
// A value in an answer, whole and escaped (see escaped()): client texts, and words of the
// command line echoed back.
inline std::string shown(std::string_view text) {
    return escaped(text, kWholeText);
}

// ConsoleSettings.cpp: the pairing table and the rank desk's next answer.
std::string pair(Parts& parts, const Args& args);
std::string unpair(Parts& parts, const Args& args);
std::string failRank(Parts& parts, const Args& args);
std::string failUpload(Parts& parts, const Args& args);

// ConsoleOrders.cpp: messages to devices.
std::string send(Parts& parts, const Args& args);
std::string create(Parts& parts, const Args& args);
std::string join(Parts& parts, const Args& args);
std::string map(Parts& parts, const Args& args);  // also set-map
std::string rankAck(Parts& parts, const Args& args);
std::string ping(Parts& parts, const Args& args);
// The program's console ends on "quit" before it gets here: elsewhere (POST /admin) it is refused.
std::string quit(Parts& parts, const Args& args);

// ConsoleListings.cpp: what the backend holds and received.
std::string pairs(Parts& parts, const Args& args);
std::string clients(Parts& parts, const Args& args);
std::string results(Parts& parts, const Args& args);
std::string acks(Parts& parts, const Args& args);
std::string rotation(Parts& parts, const Args& args);
std::string uploads(Parts& parts, const Args& args);
std::string ranks(Parts& parts, const Args& args);

}  // namespace brevant::backend::console

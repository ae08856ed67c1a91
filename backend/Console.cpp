#include "backend/Console.h"

#include <optional>
#include <sstream>
#include <vector>

#include "backend/ConsoleCommands.h"
#include "backend/Text.h"

namespace brevant::backend {
namespace {

using console::Args;
using console::fail;
using console::Handler;

struct Command {
    const char* name;
    const char* usage;
    const char* what;
    std::size_t minArgs;
    std::size_t maxArgs;
    Handler handler;  // null for help, which Console answers itself
    // Commands whose last argument is the rest of the line: how many words come before it
    // (the command included), and whether that rest may be empty. 0 for the others.
    std::size_t restAfter = 0;
    bool restOptional = true;
    bool changes = false;  // what it changes is kept in the state file
};

const Command kCommands[] = {
    {"help", "help", "this list", 0, 0, nullptr},
    {"quit", "quit", "stop the backend and leave (its own console only; also exit or Ctrl-D)", 0, 0,
     console::quit},
    {"pair", "pair DEVICE [DISCORDUSER]",
     "pair a device with a Discord user (as /addpair deviceid:DEVICE would) and tell it", 1, 1,
     console::pair, 2, true, true},
    {"unpair", "unpair DEVICE", "remove a device from the pairing table and tell it", 1, 1,
     console::unpair, 0, true, true},
    {"pairs", "pairs", "the pairing table", 0, 0, console::pairs},
    {"clients", "clients", "connected WebSocket clients", 0, 0, console::clients},
    {"send", "send DEVICE TEXT", "send the rest of the line (normally JSON) as it is", 1, 1,
     console::send, 2, false},
    {"create", "create DEVICE SERVER [PASSWORD] [BESTOF] [MAXPLAYERS]",
     "order a device to create a private match (create_private)", 2, 5, console::create},
    {"join", "join DEVICE SERVER [PASSWORD]", "order a device to join a private match", 2, 3,
     console::join},
    {"map", "map DEVICE MAPCODE", "order a device to apply a map (apply_map)", 2, 2, console::map},
    {"set-map", "set-map DEVICE MAPCODE", "the same as map, sent as set_map", 2, 2, console::map},
    {"rank-ack", "rank-ack DEVICE STATUS [NOTE]",
     "confirm a rank check (rank_ack); NOTE is the rest of the line", 2, 2, console::rankAck, 3},
    {"ping", "ping DEVICE", "send {\"t\":\"ping\"} to a device", 1, 1, console::ping},
    {"results", "results", "game results received", 0, 0, console::results},
    {"acks", "acks", "create_ack answers received", 0, 0, console::acks},
    {"rotation", "rotation", "rotation messages relayed between the clients of a match", 0, 0,
     console::rotation},
    {"uploads", "uploads", "replays received", 0, 0, console::uploads},
    {"ranks", "ranks", "rank submissions and their answers", 0, 0, console::ranks},
    {"fail-rank", "fail-rank ERR|off",
     "answer the next rank submission {\"ok\":false,\"err\":ERR} (GUILD_NOT_FOUND, "
     "ROLE_ID_INVALID, CANNOT_MODIFY_ROLES, DB_ERROR, ...); off cancels",
     1, 1, console::failRank},
    {"fail-upload", "fail-upload 500|stall SECONDS|off",
     "answer the next upload 500 before reading it, or store it and answer it only after "
     "SECONDS; off cancels",
     1, 2, console::failUpload},
};

const Command* findCommand(std::string_view name) {
    for (const Command& c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

}  // namespace

std::string Console::help() {
    std::ostringstream out;
    out << "commands:";
    for (const Command& c : kCommands)
        out << "\n  " << c.usage << "\n      " << c.what;
    out << "\nwords with blanks go in double quotes (\\\" and \\\\ inside them)";
    return out.str();
}

std::string Console::run(const std::string& line, CommitRef* after) {
    bool changes = false;
    std::string output = runLine(line, changes);
    if (after)
        *after = changes ? store_.barrier() : committedAlready();
    return output;
}

std::string Console::notKeptYet() const {
    return "not kept yet: the state file cannot be written now (" + store_.failure() +
           "); the backend writes it again by itself, and it will be kept once the file takes it";
}

std::string Console::runLine(const std::string& line, bool& changes) {
    std::string error;
    std::optional<std::vector<Word>> first = splitWords(line, error, 1);
    if (!first) {
        log_.write("command refused: " + error + ": " + escaped(line));
        return fail(error);
    }
    if (first->empty())
        return fail("empty command (try help)");
    const Command* command = findCommand(first->front().text);
    if (!command) {
        log_.write("command refused: unknown command " + escaped(first->front().text, 40));
        return fail("unknown command '" + console::shown(first->front().text) + "' (try help)");
    }
    std::optional<std::vector<Word>> words = splitWords(line, error, command->restAfter);
    if (!words) {
        log_.write("command refused: " + error + ": " + escaped(line));
        return fail(error);
    }
    const Args args{line, std::move(*words)};
    const bool restMissing = command->restAfter != 0 && !command->restOptional &&
                             args.restAfter(command->restAfter).empty();
    if (args.count() < command->minArgs || args.count() > command->maxArgs || restMissing) {
        log_.write("command refused: wrong arguments: " + escaped(line));
        return fail("usage: " + std::string(command->usage));
    }
    log_.write("command: " + escaped(line, 200));
    if (!command->handler)
        return help();
    changes = command->changes;
    console::Parts parts{log_, store_, hub_, ranks_, replays_};
    return command->handler(parts, args);
}

}  // namespace brevant::backend

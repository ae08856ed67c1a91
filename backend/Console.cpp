#include "backend/Console.h"

#include <charconv>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "backend/Json.h"
#include "backend/Text.h"

namespace brevant::backend {
namespace {

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

struct Command {
    const char* name;
    const char* usage;
    const char* what;
    std::size_t minArgs;
    std::size_t maxArgs;
    // Commands whose last argument is the rest of the line: how many words come before it
    // (the command included), and whether that rest may be empty. 0 for the others.
    std::size_t restAfter = 0;
    bool restOptional = true;
};

const Command kCommands[] = {
    {"help", "help", "this list", 0, 0},
    {"pair", "pair DEVICE [DISCORDUSER]",
     "pair a device with a Discord user (as /addpair deviceid:DEVICE would) and tell it", 1, 1, 2},
    {"unpair", "unpair DEVICE", "remove a device from the pairing table and tell it", 1, 1},
    {"pairs", "pairs", "the pairing table", 0, 0},
    {"clients", "clients", "connected WebSocket clients", 0, 0},
    {"send", "send DEVICE TEXT", "send the rest of the line (normally JSON) as it is", 1, 1, 2,
     false},
    {"create", "create DEVICE SERVER [PASSWORD] [BESTOF] [MAXPLAYERS]",
     "order a device to create a private match (create_private)", 2, 5},
    {"join", "join DEVICE SERVER [PASSWORD]", "order a device to join a private match", 2, 3},
    {"map", "map DEVICE MAPCODE", "order a device to apply a map (apply_map)", 2, 2},
    {"set-map", "set-map DEVICE MAPCODE", "the same as map, sent as set_map", 2, 2},
    {"rank-ack", "rank-ack DEVICE STATUS [NOTE]",
     "confirm a rank check (rank_ack); NOTE is the rest of the line", 2, 2, 3},
    {"ping", "ping DEVICE", "send {\"t\":\"ping\"} to a device", 1, 1},
    {"results", "results", "game results received", 0, 0},
    {"acks", "acks", "create_ack answers received", 0, 0},
    {"uploads", "uploads", "replays received", 0, 0},
    {"ranks", "ranks", "rank submissions and their answers", 0, 0},
    {"fail-rank", "fail-rank ERR|off",
     "answer the next rank submission {\"ok\":false,\"err\":ERR} (GUILD_NOT_FOUND, "
     "ROLE_ID_INVALID, CANNOT_MODIFY_ROLES, DB_ERROR, ...); off cancels",
     1, 1},
};

const Command* findCommand(std::string_view name) {
    for (const Command& c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

std::string fail(const std::string& text) {
    return "error: " + text;
}

std::optional<int> wholeNumber(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool isErrorCode(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
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

std::string Console::run(const std::string& line) {
    std::string error;
    std::optional<std::vector<Word>> first = splitWords(line, error, 1);
    if (!first) {
        log_.write("command refused: " + error + ": " + printable(line));
        return fail(error);
    }
    if (first->empty())
        return fail("empty command (try help)");
    const Command* command = findCommand(first->front().text);
    if (!command) {
        log_.write("command refused: unknown command " + printable(first->front().text, 40));
        return fail("unknown command '" + first->front().text + "' (try help)");
    }
    std::optional<std::vector<Word>> words = splitWords(line, error, command->restAfter);
    if (!words) {
        log_.write("command refused: " + error + ": " + printable(line));
        return fail(error);
    }
    const Args args{line, std::move(*words)};
    const bool restMissing = command->restAfter != 0 && !command->restOptional &&
                             args.restAfter(command->restAfter).empty();
    if (args.count() < command->minArgs || args.count() > command->maxArgs || restMissing) {
        log_.write("command refused: wrong arguments: " + printable(line));
        return fail("usage: " + std::string(command->usage));
    }
    log_.write("command: " + printable(line, 200));
    const std::string name = command->name;

    // Sends an order to a device; `server` becomes its server name.
    auto order = [&](const std::string& device, const std::string& text,
                     const std::string& server = {}) -> std::string {
        const std::size_t count = hub_.sendToDevice(device, text, server);
        if (count == 0)
            return fail("device '" + device + "' is not connected");
        return "sent to " + device +
               (count > 1 ? " (" + std::to_string(count) + " connections)" : std::string()) + ": " +
               text;
    };

    if (name == "help")
        return help();
    if (name == "pair") {
        hub_.pair(args.at(1), args.restAfter(2));
        return "paired " + args.at(1);
    }
    if (name == "unpair")
        return hub_.unpair(args.at(1)) ? "unpaired " + args.at(1)
                                       : fail("device '" + args.at(1) + "' is not paired");
    if (name == "pairs") {
        std::string out = "pairing table:";
        for (const auto& [device, user] : hub_.pairs())
            out += "\n  " + device + " -> " + (user.empty() ? "(no user)" : user);
        return out;
    }
    if (name == "clients") {
        std::string out = "clients:";
        for (const ClientInfo& c : hub_.clients()) {
            out += "\n  ws#" + std::to_string(c.connection) + " " + c.peer;
            if (c.hello)
                out += " device=" + c.hello->deviceId + " platform=" + c.hello->platform +
                       " version=" + c.hello->version;
            else
                out += " (no hello yet)";
            out += " server='" + c.server + "'";
        }
        return out;
    }
    if (name == "send") {
        const std::string text = args.restAfter(2);
        std::string server;
        std::string ignored;
        if (const std::optional<Json> j = parseJson(text, 64, ignored); j && j->is_object())
            server = stringMember(*j, "serverName", stringMember(*j, "server"));
        return order(args.at(1), text, server);
    }
    if (name == "create") {
        Json message = {{"t", "create_private"}, {"serverName", args.at(2)}, {"maxPlayers", 6},
                        {"bestOf", 5},           {"region", "SAM"},          {"rotate", true}};
        if (args.count() >= 3)
            message["password"] = args.at(3);
        if (args.count() >= 4) {
            const std::optional<int> bestOf = wholeNumber(args.at(4));
            if (!bestOf)
                return fail("BESTOF must be a whole number");
            message["bestOf"] = *bestOf;
        }
        if (args.count() >= 5) {
            const std::optional<int> maxPlayers = wholeNumber(args.at(5));
            if (!maxPlayers)
                return fail("MAXPLAYERS must be a whole number");
            message["maxPlayers"] = *maxPlayers;
        }
        return order(args.at(1), dumpCompact(message), args.at(2));
    }
    if (name == "join") {
        Json message = {{"t", "join_private"}, {"to", args.at(1)}, {"serverName", args.at(2)}};
        if (args.count() >= 3)
            message["password"] = args.at(3);
        return order(args.at(1), dumpCompact(message), args.at(2));
    }
    if (name == "map" || name == "set-map") {
        const Json message = {{"t", name == "map" ? "apply_map" : "set_map"}, {"map", args.at(2)}};
        return order(args.at(1), dumpCompact(message));
    }
    if (name == "rank-ack") {
        const Json message = {
            {"t", "rank_ack"}, {"status", args.at(2)}, {"note", args.restAfter(3)}};
        return order(args.at(1), dumpCompact(message));
    }
    if (name == "ping")
        return order(args.at(1), R"({"t":"ping"})");
    if (name == "results") {
        std::string out = "game results:";
        for (const GameResult& r : hub_.gameResults())
            out += "\n  ws#" + std::to_string(r.connection) + " device=" + r.deviceId + " " +
                   dumpCompact(r.message);
        return out;
    }
    if (name == "acks") {
        std::string out = "create acks:";
        for (const CreateAck& a : hub_.createAcks())
            out += "\n  ws#" + std::to_string(a.connection) + " device=" + a.deviceId +
                   " ok=" + (a.ok ? "true" : "false");
        return out;
    }
    if (name == "uploads") {
        std::string out = "uploads:";
        for (const Upload& u : replays_.uploads())
            out += "\n  #" + std::to_string(u.id) + " " + u.storedPath.string() + " " +
                   std::to_string(u.bytes) + " bytes file='" + u.fileName +
                   "' device=" + u.deviceId + " server='" + u.server + "' uploader='" + u.uploader +
                   "'";
        return out;
    }
    if (name == "ranks") {
        std::string out = "rank submissions:";
        for (const RankSubmission& s : ranks_.submissions())
            out += "\n  device=" + s.deviceId + " ranks=" + dumpCompact(s.ranks) + " -> " +
                   std::to_string(s.status) + " " + s.answer;
        return out;
    }
    if (name == "fail-rank") {
        const std::string& err = args.at(1);
        if (err == "off") {
            ranks_.failNext({});
            return "the next rank submission is answered normally";
        }
        if (!isErrorCode(err))
            return fail("ERR is an error code such as DB_ERROR (capitals, digits, _)");
        ranks_.failNext(err);
        return "the next rank submission is answered {\"ok\":false,\"err\":\"" + err + "\"}";
    }
    return fail("unknown command");
}

}  // namespace brevant::backend

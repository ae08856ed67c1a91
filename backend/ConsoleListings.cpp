// Console commands that list what the backend holds: the pairing table, the connected clients
// and what they sent. Every text that came from outside is shown escaped, so that no value can
// start a row of its own or reach the operator's terminal as a command.
#include "backend/ConsoleCommands.h"
#include "backend/Json.h"

namespace brevant::backend::console {

std::string pairs(Parts& parts, const Args&) {
    std::string out = "pairing table (kept in " + parts.store.where() + "):";
    for (const auto& [device, user] : parts.hub.pairs())
        out += "\n  " + shown(device) + " -> " + (user.empty() ? "(no user)" : shown(user));
    return out;
}

std::string clients(Parts& parts, const Args&) {
    std::string out = "clients:";
    for (const ClientInfo& c : parts.hub.clients()) {
        out += "\n  ws#" + std::to_string(c.connection) + " " + c.peer;
        if (c.hello)
            out += " device=" + shown(c.hello->deviceId) + " platform=" + shown(c.hello->platform) +
                   " version=" + shown(c.hello->version);
        else
            out += " (no hello yet)";
        out += " server='" + shown(c.server) + "'";
    }
    return out;
}

namespace {

// An integer member as text; "?" when it is absent or not an integer.
std::string integerShown(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->dump() : "?";
}

// One player of a game result: team, name and the id the client gave ("steam" when its Steam
// number is not 0, else "epic" when it has an Epic id). A player that is not an object is shown
// as it came.
std::string playerShown(const Json& player) {
    if (!player.is_object())
        return "(not a player: " + shown(dumpCompact(player)) + ")";
    std::string out =
        shown(stringMember(player, "team", "?")) + " '" + shown(stringMember(player, "name")) + "'";
    const std::string steamId = stringMember(player, "steamId");
    const std::string epicId = stringMember(player, "epicId");
    if (!steamId.empty() && steamId != "0")
        out += " steam " + shown(steamId);
    else if (!epicId.empty())
        out += " epic " + shown(epicId);
    else
        out += " (no id)";
    return out;
}

}  // namespace

std::string results(Parts& parts, const Args&) {
    std::string out = "game results (kept in " + parts.store.where() + "):";
    for (const GameResult& r : parts.hub.gameResults()) {
        const Json& m = r.message;
        out += "\n  ws#" + std::to_string(r.connection) + " device=" + shown(r.deviceId) +
               " server='" + shown(stringMember(m, "server")) +
               "' map=" + shown(stringMember(m, "mapCode")) + " blue " +
               integerShown(m, "blueGoals") + "-" + integerShown(m, "orangeGoals") +
               " orange, winner=" + shown(stringMember(m, "winner")) +
               " region=" + integerShown(m, "region") +
               " finishedAt=" + integerShown(m, "finishedAt");
        const auto players = m.find("players");
        if (players == m.end() || !players->is_array() || players->empty()) {
            out += "\n    (no players)";
            continue;
        }
        for (const Json& player : *players)
            out += "\n    " + playerShown(player);
    }
    return out;
}

std::string rotation(Parts& parts, const Args&) {
    std::string out = "rotation messages:";
    for (const RotationMessage& m : parts.hub.rotationMessages())
        out += "\n  ws#" + std::to_string(m.connection) + " device=" + shown(m.deviceId) + " " +
               m.type + " server='" + shown(m.server) + "' " + m.summary + " -> " + m.relayedTo;
    return out;
}

std::string acks(Parts& parts, const Args&) {
    std::string out = "create acks:";
    for (const CreateAck& a : parts.hub.createAcks())
        out += "\n  ws#" + std::to_string(a.connection) + " device=" + shown(a.deviceId) +
               " ok=" + (a.ok ? "true" : "false");
    return out;
}

std::string uploads(Parts& parts, const Args&) {
    std::string out = "uploads (indexed in " + parts.store.where() + "):";
    for (const Upload& u : parts.replays.uploads())
        out += "\n  #" + std::to_string(u.id) + " " + u.storedPath.string() + " " +
               std::to_string(u.bytes) + " bytes file='" + shown(u.fileName) +
               "' device=" + shown(u.deviceId) + " server='" + shown(u.server) + "' uploader='" +
               shown(u.uploader) + "'";
    return out;
}

std::string ranks(Parts& parts, const Args&) {
    std::string out = "rank submissions:";
    for (const RankSubmission& s : parts.ranks.submissions())
        out += "\n  device=" + shown(s.deviceId) + " ranks=" + shown(dumpCompact(s.ranks)) +
               " -> " + std::to_string(s.status) + " " + s.answer;
    return out;
}

}  // namespace brevant::backend::console

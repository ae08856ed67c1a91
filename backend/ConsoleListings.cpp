// Console commands that list what the backend holds: the pairing table, the connected clients
// and what they sent.
#include "backend/ConsoleCommands.h"
#include "backend/Json.h"

namespace brevant::backend::console {

std::string pairs(Parts& parts, const Args&) {
    std::string out = "pairing table:";
    for (const auto& [device, user] : parts.hub.pairs())
        out += "\n  " + device + " -> " + (user.empty() ? "(no user)" : user);
    return out;
}

std::string clients(Parts& parts, const Args&) {
    std::string out = "clients:";
    for (const ClientInfo& c : parts.hub.clients()) {
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

std::string results(Parts& parts, const Args&) {
    std::string out = "game results:";
    for (const GameResult& r : parts.hub.gameResults())
        out += "\n  ws#" + std::to_string(r.connection) + " device=" + r.deviceId + " " +
               dumpCompact(r.message);
    return out;
}

std::string acks(Parts& parts, const Args&) {
    std::string out = "create acks:";
    for (const CreateAck& a : parts.hub.createAcks())
        out += "\n  ws#" + std::to_string(a.connection) + " device=" + a.deviceId +
               " ok=" + (a.ok ? "true" : "false");
    return out;
}

std::string uploads(Parts& parts, const Args&) {
    std::string out = "uploads:";
    for (const Upload& u : parts.replays.uploads())
        out += "\n  #" + std::to_string(u.id) + " " + u.storedPath.string() + " " +
               std::to_string(u.bytes) + " bytes file='" + u.fileName + "' device=" + u.deviceId +
               " server='" + u.server + "' uploader='" + u.uploader + "'";
    return out;
}

std::string ranks(Parts& parts, const Args&) {
    std::string out = "rank submissions:";
    for (const RankSubmission& s : parts.ranks.submissions())
        out += "\n  device=" + s.deviceId + " ranks=" + dumpCompact(s.ranks) + " -> " +
               std::to_string(s.status) + " " + s.answer;
    return out;
}

}  // namespace brevant::backend::console

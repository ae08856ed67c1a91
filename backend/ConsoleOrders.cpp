// Console commands that send messages to a device: the orders the community bot would give.
#include <charconv>
#include <optional>

#include "backend/ConsoleCommands.h"
#include "backend/Json.h"

namespace brevant::backend::console {
namespace {

std::optional<int> wholeNumber(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Sends an order to a device; `server` becomes its server name.
std::string order(Parts& parts, const std::string& device, const std::string& text,
                  const std::string& server = {}) {
    const std::size_t count = parts.hub.sendToDevice(device, text, server);
    if (count == 0)
        return fail("device '" + shown(device) + "' is not connected");
    return "sent to " + shown(device) +
           (count > 1 ? " (" + std::to_string(count) + " connections)" : std::string()) + ": " +
           shown(text);
}

}  // namespace

std::string send(Parts& parts, const Args& args) {
    const std::string text = args.restAfter(2);
    std::string server;
    std::string ignored;
    if (const std::optional<Json> j = parseJson(text, 64, ignored); j && j->is_object())
        server = stringMember(*j, "serverName", stringMember(*j, "server"));
    return order(parts, args.at(1), text, server);
}

std::string create(Parts& parts, const Args& args) {
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
    return order(parts, args.at(1), dumpCompact(message), args.at(2));
}

std::string join(Parts& parts, const Args& args) {
    Json message = {{"t", "join_private"}, {"to", args.at(1)}, {"serverName", args.at(2)}};
    if (args.count() >= 3)
        message["password"] = args.at(3);
    return order(parts, args.at(1), dumpCompact(message), args.at(2));
}

std::string map(Parts& parts, const Args& args) {
    const Json message = {{"t", args.at(0) == "map" ? "apply_map" : "set_map"},
                          {"map", args.at(2)}};
    return order(parts, args.at(1), dumpCompact(message));
}

std::string rankAck(Parts& parts, const Args& args) {
    const Json message = {{"t", "rank_ack"}, {"status", args.at(2)}, {"note", args.restAfter(3)}};
    return order(parts, args.at(1), dumpCompact(message));
}

std::string ping(Parts& parts, const Args& args) {
    return order(parts, args.at(1), R"({"t":"ping"})");
}

std::string quit(Parts&, const Args&) {
    return fail("quit stops the backend from its own console only");
}

}  // namespace brevant::backend::console

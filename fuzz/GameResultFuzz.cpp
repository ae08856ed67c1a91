// The game result report on whatever the game holds: any score, any player names, unique-id texts
// and team numbers (control characters, text that is not UTF-8, ids of any length). One report
// runs on a stand-in host (the fuzzer's thread is the game thread) with a fresh duplicate key.
//
// Input: byte 0 and byte 1 are blue's and orange's scores (signed), the rest is a list of
// players, three fields each separated by a zero byte: the name, the unique-id text, and the team
// (its first byte is the team number; an empty field is team 0). A player cut short gets empty
// fields.
//
// Rules: no host fault; one message and one log line; the message is compact JSON with its members
// in key order (parsing it and writing it again gives the same text); the winner follows the
// scores; each player is there, in order, with its name sanitised (no byte below 32) and made valid
// UTF-8, its team named by the rule, and its unique id split into steamId and epicId by the rule.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/Require.h"
#include "net/Json.h"
#include "results/GameResult.h"
#include "sdk/GameWrapper.h"
#include "sdk/HostRuntime.h"

namespace {

struct Host {
    Host()
        : rt(sdk::HostRuntime::create({sdk::ClockMode::Manual, {}})), gw(rt->makeGameWrapper()) {}
    std::shared_ptr<sdk::HostRuntime> rt;
    std::shared_ptr<GameWrapper> gw;
};

Host& host() {
    static Host h;
    return h;
}

std::vector<std::string> fieldsOf(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields;
    if (size == 0)
        return fields;
    fields.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    return fields;
}

// The steamId the rule gives for a text of decimal digits, computed on the text: leading zeros
// dropped, anything above 2^64 - 1 becomes 2^64 - 1.
std::string decimalSteamId(const std::string& digits) {
    const std::string most = "18446744073709551615";
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos)
        return "0";
    const std::string value = digits.substr(first);
    if (value.size() > most.size() || (value.size() == most.size() && value > most))
        return most;
    return value;
}

bool allDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    Host& h = host();
    const int blue = static_cast<std::int8_t>(data[0]);
    const int orange = static_cast<std::int8_t>(data[1]);
    const auto fields = fieldsOf(data + 2, size - 2);

    h.rt->model().enterPrivateMatch("Sala", "Stadium_P");
    auto& game = *h.rt->model().onlineGame;
    game.teamScores = {blue, orange};
    std::vector<sdk::PlayerModel> given;
    for (std::size_t i = 0; i < fields.size(); i += 3) {
        sdk::PlayerModel p;
        p.name = fields[i];
        p.uniqueId = i + 1 < fields.size() ? fields[i + 1] : "";
        p.teamNum = i + 2 < fields.size() && !fields[i + 2].empty()
                        ? static_cast<std::uint8_t>(fields[i + 2][0])
                        : 0;
        given.push_back(p);
        game.players.push_back(p);
    }

    brevant::resetResultState();
    std::vector<std::string> sent, logged;
    brevant::reportGameResult(
        h.gw.get(), true, true, "Sala", "dev", "0.0.2", 9,
        [&](const std::string& text) {
            sent.push_back(text);
            return std::string();
        },
        [&](const std::string& line) { logged.push_back(line); });

    fuzz::require(h.rt->faults().empty(), "no game call off the game thread");
    fuzz::require(sent.size() == 1 && logged.size() == 1, "one message and one log line");
    brevant::json message;
    try {
        message = brevant::json::parse(sent[0]);
    } catch (...) {
        fuzz::fail("the message is not JSON: " + sent[0]);
    }
    fuzz::require(message.dump() == sent[0], "compact, members in key order, valid UTF-8");
    const std::string winner = blue > orange ? "blue" : orange > blue ? "orange" : "draw";
    fuzz::require(message.at("winner") == winner, "the winner follows the scores");
    fuzz::require(message.at("blueGoals") == blue && message.at("orangeGoals") == orange,
                  "the scores as read");
    fuzz::require(logged[0] == "[BRV] game_result enviado: " + winner + " " + std::to_string(blue) +
                                   "-" + std::to_string(orange),
                  "the log line");
    const auto& players = message.at("players");
    fuzz::require(players.size() == given.size(), "every player is reported");
    for (std::size_t i = 0; i < given.size(); ++i) {
        const auto& p = players.at(i);
        const std::string name = p.at("name").get<std::string>();
        for (char c : name)
            fuzz::require(static_cast<unsigned char>(c) >= 32, "no byte below 32 in a name");
        fuzz::require(name == brevant::validUtf8(brevant::sanitizeName(given[i].name)),
                      "the name, sanitised");
        fuzz::require(p.at("team") == (given[i].teamNum == 0 ? "blue" : "orange"), "the team");
        const std::string& id = given[i].uniqueId;
        if (allDigits(id)) {
            fuzz::require(p.at("steamId") == decimalSteamId(id) && p.at("epicId") == "",
                          "a decimal id is a steamId");
        } else {
            fuzz::require(p.at("steamId") == "0" && p.at("epicId") == brevant::validUtf8(id),
                          "any other id is an epicId");
        }
    }
    return 0;
}

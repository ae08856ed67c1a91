#include "results/GameResult.h"

#include <limits>
#include <mutex>

#include "match/PrivateMatch.h"
#include "net/Json.h"
#include "platform/Clock.h"
#include "sdk/GameWrapper.h"

namespace brevant {
namespace {

// How long the same map and score are taken for the same game, counted from the last attempt.
constexpr std::int64_t duplicateSpanNanos = 30'000'000'000;

// The last report attempted. The lock makes the test and the replacement of key and time one
// step, as the compare-and-swap of the key alone did before the time came into it.
//
// Mend (issue 13): the key used to hold a fixed 30-second window of the monotonic clock, so when a
// window boundary fell between the two triggers of one game (about one game in ten) the game was
// reported twice. The key now holds the map and the score only, and the time since the last
// attempt decides.
std::mutex lastResultMutex;
std::uint64_t lastResultKey = 0;
std::optional<std::int64_t> lastResultAtNanos;

// True when the report with this key may go on; it is then the last attempt.
bool takeResultKey(std::uint64_t key, std::int64_t now) {
    std::lock_guard lk(lastResultMutex);
    if (lastResultAtNanos && lastResultKey == key && now - *lastResultAtNanos < duplicateSpanNanos)
        return false;
    lastResultKey = key;
    lastResultAtNanos = now;
    return true;
}

struct Scores {
    std::int32_t blue = 0;
    std::int32_t orange = 0;
};

// Team 0's and team 1's scores, each read only when the team is there; an error keeps what was
// read before it.
Scores readScores(GameWrapper& gw) {
    Scores scores;
    try {
        ServerWrapper game = gw.GetOnlineGame();
        if (game.IsNull())
            return scores;
        ArrayWrapper<TeamInfoWrapper> teams = game.GetTeams();
        if (teams.Count() >= 1) {
            TeamInfoWrapper blue = teams.Get(0);
            if (!blue.IsNull())
                scores.blue = blue.GetScore();
        }
        if (teams.Count() >= 2) {
            TeamInfoWrapper orange = teams.Get(1);
            if (!orange.IsNull())
                scores.orange = orange.GetScore();
        }
    } catch (...) {
        // The scores read so far stand.
    }
    return scores;
}

json playerObject(const PlayerReplicationInfoWrapper& pri) {
    int team = 0;
    try {
        team = pri.GetTeamNum();
    } catch (...) {
        team = 0;
    }
    std::string name;
    try {
        name = sanitizeName(pri.GetPlayerName().ToString());
    } catch (...) {
        name.clear();
    }
    std::string uniqueId;
    try {
        uniqueId = pri.GetUniqueIdWrapper().GetIdString();
    } catch (...) {
        uniqueId.clear();
    }
    ReportedId id = reportedId(uniqueId);
    return json{{"epicId", std::move(id.epicId)},
                {"name", std::move(name)},
                {"steamId", std::move(id.steamId)},
                {"team", teamName(team)}};
}

// The players in the game's order, null entries skipped; an error ends the walk with what was
// gathered.
json readPlayers(const ServerWrapper& game) {
    json players = json::array();
    try {
        ArrayWrapper<PlayerReplicationInfoWrapper> pris = game.GetPRIs();
        for (int i = 0; i < pris.Count(); ++i) {
            PlayerReplicationInfoWrapper pri = pris.Get(i);
            if (pri.IsNull())
                continue;
            players.push_back(playerObject(pri));
        }
    } catch (...) {
        // The players gathered so far are reported.
    }
    return players;
}

}  // namespace

std::string sanitizeName(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 32)
            c = ' ';
    return text;
}

std::string teamName(int team) {
    return team == 0 ? "blue" : "orange";
}

std::string winnerOf(std::int32_t blue, std::int32_t orange) {
    return blue > orange ? "blue" : orange > blue ? "orange" : "draw";
}

ReportedId reportedId(const std::string& uniqueId) {
    bool digits = !uniqueId.empty();
    for (char c : uniqueId)
        digits = digits && c >= '0' && c <= '9';
    if (!digits)
        return {"0", uniqueId};
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : uniqueId) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (most - digit) / 10) {
            value = most;
            break;
        }
        value = value * 10 + digit;
    }
    return {std::to_string(value), ""};
}

std::uint64_t resultKey(const std::string& map, std::int32_t blue, std::int32_t orange) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (char c : map) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    // Sign-extended, as the scores were mixed in when the key also held the time window.
    const auto b = static_cast<std::uint64_t>(static_cast<std::int64_t>(blue));
    const auto o = static_cast<std::uint64_t>(static_cast<std::int64_t>(orange));
    return ((b << 16) ^ (hash & 0xffffffffULL)) ^ o;
}

std::optional<ResultAttempt> lastResultAttempt() {
    std::lock_guard lk(lastResultMutex);
    if (!lastResultAtNanos)
        return std::nullopt;
    return ResultAttempt{lastResultKey, *lastResultAtNanos};
}

void resetResultState() {
    std::lock_guard lk(lastResultMutex);
    lastResultKey = 0;
    lastResultAtNanos.reset();
}

void reportGameResult(GameWrapper* gw, bool paired, bool owned, const std::string& server,
                      const std::string& deviceId, const std::string& version, std::int32_t region,
                      const ResultSender& send, const ResultLogger& log) {
    if (!gw || !paired || !owned)
        return;
    const Scores scores = readScores(*gw);
    const std::string mapAtEnd = gw->GetCurrentMap();
    if (!takeResultKey(resultKey(mapAtEnd, scores.blue, scores.orange), platform::steadyNanos()))
        return;
    const ServerWrapper game = gw->GetOnlineGame();
    if (!isPrivateMatch(game))
        return;  // the key stays taken; nothing is sent

    const std::string winner = winnerOf(scores.blue, scores.orange);
    json players = readPlayers(game);
    const std::string map = gw->GetCurrentMap();
    const json message = {{"blueGoals", scores.blue},
                          {"deviceId", deviceId},
                          {"finishedAt", platform::steadyMillis()},
                          {"mapCode", map},
                          {"mapName", map},
                          {"orangeGoals", scores.orange},
                          {"players", std::move(players)},
                          {"region", region},
                          {"server", server},
                          {"t", "game_result"},
                          {"version", version},
                          {"winner", winner}};
    const std::string notSent = send ? send(dumpJson(message)) : "sem conexao";
    const std::string score =
        winner + " " + std::to_string(scores.blue) + "-" + std::to_string(scores.orange);
    if (!log)
        return;
    if (notSent.empty())
        log("[BRV] game_result enviado: " + score);
    else
        log("[BRV] game_result nao enviado (" + notSent + "): " + score);
}

}  // namespace brevant

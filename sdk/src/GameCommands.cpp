// The host console's "game" command: a person drives the simulated game by hand and watches the
// plugin react.
//   game private NAME MAP          enter a private match NAME on MAP
//   game map MAP                   the map changes (in a match or not)
//   game leave                     back to the main menu
//   game state                     one line saying where the player is
//   game end [BLUE ORANGE] [replay BYTES [BURSTS [SECONDS]]]
//                                  the game ends (with that score) and the post-game lobby
//                                  opens; then the game saves the match's replay when asked
//   game player NAME ID TEAM       one more player in the roster (TEAM 0 to 255; 0 is blue)
//   game players clear             an empty roster
//   game update accept|refuse|throw  how the game answers UpdatePrivateMatch from now on
//   game replay BYTES [BURSTS [SECONDS]]  the game saves a replay (see GameReplays.cpp)
//
// The roster is who plays: "game end" gives the game (the current game and the online game) the
// roster's players, in the roster's order, with their names, unique ids and team numbers. It
// starts as a 2v2 (see GameModel::mainMenuDefault: "Piloto" and "Parceiro" on blue, "Rival" and
// "Goleiro" on orange; two Steam ids of 17 digits, two Epic ids). To play with others, clear it
// and add each player; a NAME or an ID with blanks goes in double quotes. Without a score,
// "game end" keeps the teams' scores as they are.
#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "sdk/GameModel.h"
#include "sdk/HostRuntime.h"

namespace sdk {
namespace {

constexpr const char* eventMatchEnded = "Function TAGame.GameEvent_Soccar_TA.EventMatchEnded";
constexpr const char* eventPostGameLobby =
    "Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted";

bool parseTeam(const std::string& text, std::uint8_t& team) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used != text.size() || value < 0 || value > 255)
            return false;
        team = static_cast<std::uint8_t>(value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool parseScore(const std::string& text, int& score) {
    try {
        std::size_t used = 0;
        score = std::stoi(text, &used);
        return used == text.size() && score >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

// "game end", "game end BLUE ORANGE", each optionally followed by "replay BYTES [BURSTS
// [SECONDS]]" (checked as "game replay" checks it).
bool endArgumentsValid(const std::vector<std::string>& args, int& blue, int& orange) {
    const auto replayAt = std::find(args.begin(), args.end(), "replay");
    const auto before = replayAt - args.begin();
    if (before != 2 && !(before == 4 && parseScore(args[2], blue) && parseScore(args[3], orange)))
        return false;
    const auto after = args.end() - replayAt;
    return replayAt == args.end() || (after >= 2 && after <= 4);
}

}  // namespace

bool HostRuntime::runGameCommand(const std::vector<std::string>& args) {
    const std::string what = args.size() > 1 ? args[1] : "";
    GameModel& game = model();
    int blue = 0;
    int orange = 0;
    std::uint8_t team = 0;
    if (what == "private" && args.size() > 3) {
        game.enterPrivateMatch(args[2], args[3]);
    } else if (what == "map" && args.size() > 2) {
        game.currentMap = args[2];
    } else if (what == "leave") {
        game.leaveMatch();
    } else if (what == "state") {
        const auto& online = game.onlineGame;
        log(online ? "game: " + std::string(online->privateMatch ? "private match '" : "match '") +
                         online->serverName + "' on " + game.currentMap
                   : "game: main menu" +
                         (game.currentMap.empty() ? "" : " (map " + game.currentMap + ")"));
    } else if (what == "end" && endArgumentsValid(args, blue, orange)) {
        const auto replayAt = std::find(args.begin(), args.end(), "replay");
        const bool scored = replayAt - args.begin() == 4;
        for (const auto& state : {game.currentGameState, game.onlineGame}) {
            if (!state)
                continue;
            if (scored)
                state->teamScores = {blue, orange};
            state->players.assign(game.roster.begin(), game.roster.end());
        }
        fireEvent(eventMatchEnded);
        fireEvent(eventPostGameLobby);
        // The game saves the match's replay once the match has ended.
        if (replayAt != args.end()) {
            std::vector<std::string> replay{"game", "replay"};
            replay.insert(replay.end(), replayAt + 1, args.end());
            saveGameReplay(replay);
        }
    } else if (what == "player" && args.size() == 5 && parseTeam(args[4], team)) {
        game.roster.push_back({args[2], args[3], team});
    } else if (what == "players" && args.size() == 3 && args[2] == "clear") {
        game.roster.clear();
    } else if (what == "update" && args.size() > 2 &&
               (args[2] == "accept" || args[2] == "refuse" || args[2] == "throw")) {
        game.matchmaking.update = args[2] == "accept"   ? CallBehaviour::Succeed
                                  : args[2] == "refuse" ? CallBehaviour::Refuse
                                                        : CallBehaviour::Throw;
    } else if (what == "replay" && saveGameReplay(args)) {
        // saved, or being saved in bursts
    } else {
        log("usage: game private NAME MAP | game map MAP | game leave | game state | "
            "game end [BLUE ORANGE] [replay BYTES [BURSTS [SECONDS]]] | game player NAME ID TEAM | "
            "game players clear | "
            "game update accept|refuse|throw | game replay BYTES [BURSTS [SECONDS]]");
    }
    return true;
}

}  // namespace sdk

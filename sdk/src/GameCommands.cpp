// The host console's "game" command: a person drives the simulated game by hand and watches the
// plugin react.
//   game private NAME MAP          enter a private match NAME on MAP
//   game map MAP                   the map changes (in a match or not)
//   game leave                     back to the main menu
//   game state                     one line saying where the player is
//   game end [BLUE ORANGE]         the game ends (with that score) and the post-game lobby opens
//   game update accept|refuse|throw  how the game answers UpdatePrivateMatch from now on
//   game replay BYTES [BURSTS [SECONDS]]  the game saves a replay (see GameReplays.cpp)
#include <stdexcept>

#include "sdk/GameModel.h"
#include "sdk/HostRuntime.h"

namespace sdk {
namespace {

constexpr const char* eventMatchEnded = "Function TAGame.GameEvent_Soccar_TA.EventMatchEnded";
constexpr const char* eventPostGameLobby =
    "Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted";

bool parseScore(const std::string& text, int& score) {
    try {
        std::size_t used = 0;
        score = std::stoi(text, &used);
        return used == text.size() && score >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool HostRuntime::runGameCommand(const std::vector<std::string>& args) {
    const std::string what = args.size() > 1 ? args[1] : "";
    GameModel& game = model();
    int blue = 0;
    int orange = 0;
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
    } else if (what == "end" &&
               (args.size() == 2 ||
                (args.size() == 4 && parseScore(args[2], blue) && parseScore(args[3], orange)))) {
        if (args.size() == 4) {
            for (const auto& state : {game.currentGameState, game.onlineGame})
                if (state)
                    state->teamScores = {blue, orange};
        }
        fireEvent(eventMatchEnded);
        fireEvent(eventPostGameLobby);
    } else if (what == "update" && args.size() > 2 &&
               (args[2] == "accept" || args[2] == "refuse" || args[2] == "throw")) {
        game.matchmaking.update = args[2] == "accept"   ? CallBehaviour::Succeed
                                  : args[2] == "refuse" ? CallBehaviour::Refuse
                                                        : CallBehaviour::Throw;
    } else if (what == "replay" && saveGameReplay(args)) {
        // saved, or being saved in bursts
    } else {
        log("usage: game private NAME MAP | game map MAP | game leave | game state | "
            "game end [BLUE ORANGE] | game update accept|refuse|throw | "
            "game replay BYTES [BURSTS [SECONDS]]");
    }
    return true;
}

}  // namespace sdk

// The host console's "game" command: a person drives the simulated game by hand and watches the
// plugin react.
//   game private NAME MAP   enter a private match NAME on MAP
//   game map MAP            the map changes (in a match or not)
//   game leave              back to the main menu
//   game state              one line saying where the player is
#include "sdk/GameModel.h"
#include "sdk/HostRuntime.h"

namespace sdk {

bool HostRuntime::runGameCommand(const std::vector<std::string>& args) {
    const std::string what = args.size() > 1 ? args[1] : "";
    GameModel& game = model();
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
    } else {
        log("usage: game private NAME MAP | game map MAP | game leave | game state");
    }
    return true;
}

}  // namespace sdk

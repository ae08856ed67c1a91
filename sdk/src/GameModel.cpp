#include "sdk/GameModel.h"

namespace sdk {

GameModel GameModel::mainMenuDefault() {
    GameModel m;
    m.currentMap = "";
    m.localPlayer.uniqueId = "76561198012345678";
    m.localPlayer.priName = "Piloto";
    m.localPlayer.priUniqueId = "76561198012345678";
    m.localPlayer.usingSteam = true;
    m.localPlayer.usingEpic = false;
    m.localPlayer.steamId = 76561198012345678ULL;
    // Ranks of a decent player: Diamond in 1v1, Champion in 2v2 and 3v3.
    m.mmr.playlists[10] = {SkillRank{13, 2, 120}, SkillRating{45.5f, 2.5f}, false};
    m.mmr.playlists[11] = {SkillRank{16, 1, 480}, SkillRating{56.7f, 2.1f}, false};
    m.mmr.playlists[13] = {SkillRank{15, 3, 310}, SkillRating{53.2f, 2.3f}, false};
    m.roster = {
        {"Piloto", "76561198012345678", 0},
        {"Parceiro", "8f1c2d3e4a5b46c7a8d9e0f1a2b3c4d5", 0},
        {"Rival", "76561198087654321", 1},
        {"Goleiro", "0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d", 1},
    };
    return m;
}

void GameModel::enterPrivateMatch(const std::string& name, const std::string& map) {
    auto game = std::make_shared<GameStateModel>();
    game->privateMatch = true;
    game->serverName = name;
    onlineGame = game;
    currentGameState = game;
    currentMap = map;
}

void GameModel::leaveMatch() {
    onlineGame.reset();
    currentGameState.reset();
    currentMap.clear();
}

}  // namespace sdk

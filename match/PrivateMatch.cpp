#include "match/PrivateMatch.h"

namespace brevant {

bool isPrivateMatch(const ServerWrapper& game) {
    if (game.IsNull())
        return false;
    GameSettingPlaylistWrapper playlist = game.GetPlaylist();
    return !playlist.IsNull() && playlist.IsPrivateMatch();
}

bool onlineGameIsPrivate(GameWrapper& gw) {
    return isPrivateMatch(gw.GetOnlineGame());
}

bool isInPrivateMatch(GameWrapper* gw) {
    if (!gw)
        return false;
    try {
        if (isPrivateMatch(gw->GetCurrentGameState()))
            return true;
    } catch (...) {
        // Fall through to the online game.
    }
    try {
        return onlineGameIsPrivate(*gw);
    } catch (...) {
        return false;
    }
}

}  // namespace brevant

#pragma once
// Whether the game is in a private match, as its playlists say. The game says only that, never
// which match: MatchIdentity.h holds which one the plugin believes it is.
#include "sdk/GameWrapper.h"

namespace brevant {

// The game is there and its playlist says private match. A null playlist is not one.
bool isPrivateMatch(const ServerWrapper& game);
// The online game exists and its playlist is a private match.
bool onlineGameIsPrivate(GameWrapper& gw);
// The current game, or else the online game, is a private match. Errors read as false.
bool isInPrivateMatch(GameWrapper* gw);

}  // namespace brevant

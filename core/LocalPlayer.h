#pragma once
// The player at this machine, as the game's player controller knows them.
#include <optional>

#include "sdk/GameWrapper.h"

namespace brevant {

// The local player's replication info; nothing without a controller or info, or when the game
// fails to answer. Game thread.
std::optional<PlayerReplicationInfoWrapper> localPlayer(GameWrapper& gw);

}  // namespace brevant

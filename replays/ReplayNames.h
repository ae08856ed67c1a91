#pragma once
// What the replay upload and the watcher both read: two names.
#include <string>

class GameWrapper;

namespace brevant {

// brv_owned_replay_prefix as wide text, also when empty; "replay_VXA_" when it cannot be read,
// or when it would lead out of the folder or is long (a path separator, "..", a drive, over 32
// bytes: one line says so). Any thread.
std::wstring ownedReplayPrefix();

// The local player's name as the game gives it; empty when there is no game wrapper, player
// controller or replication info, or the game fails. Game thread.
std::string localPlayerName(GameWrapper* gw);

}  // namespace brevant

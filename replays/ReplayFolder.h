#pragma once
// Where the game writes its replays.
#include <string>

namespace brevant {

// The folder the replay watcher polls; set once by onLoad.
extern std::wstring replayFolder;

// <Documents>/My Games/Rocket League/TAGame/Demos, or empty when no Documents folder is known.
std::wstring defaultReplayFolder();

}  // namespace brevant

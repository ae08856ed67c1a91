#pragma once
// Where the game writes its replays.
#include <string>

namespace brevant {

// The folder the replay watcher polls; set once by onLoad.
extern std::wstring watchedReplayFolder;

// <Documents>/My Games/Rocket League/TAGame/Demos, or empty when no Documents folder is known.
std::wstring gameDemosFolder();

// The same Demos folder for the upload's search: under "." when no Documents folder is known.
std::wstring gameDemosFolderOrHere();

// Where uploads look for replays: watchedReplayFolder when it is set (brv_replay_dir can point the
// watcher elsewhere, and an upload must send what the watcher saw), else gameDemosFolderOrHere.
// Game thread, or any thread while no load runs.
std::wstring uploadSearchFolder();

}  // namespace brevant

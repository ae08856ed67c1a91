#pragma once
// The rotation file: the series' rotation and the match name, kept across restarts of the game
// in <data folder>/plugins/brevant.rotate.json as one compact JSON object.
#include <filesystem>
#include <string>

namespace brevant {

// <data folder>/plugins/brevant.rotate.json
std::filesystem::path rotationFilePath(const std::wstring& dataFolder);

// Reads the file into the rotation state and the match name. Member by member: a member of the
// wrong type ends the load there, keeping what was read before it. Nothing is reported.
void loadRotationState();

// Hands a snapshot of the state to the plugin's file writer (core/FileWriter.h) and returns at
// once: the disk is touched on the writer's thread, which leaves the file whole, keeps the
// newest of two snapshots whichever thread took them, and skips a state the file already holds.
// The "plugins" folder is made when missing. A failed write keeps the file as it was and is
// logged once; the next save tries again.
void saveRotationState();

}  // namespace brevant

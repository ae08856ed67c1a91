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

// Writes the state to the file: a temporary file beside it, then a rename over it, so the file
// is always whole. The "plugins" folder is made when missing. Saves from different threads
// never interleave; a failure changes nothing and is not reported.
void saveRotationState();

}  // namespace brevant

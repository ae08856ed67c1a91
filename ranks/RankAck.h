#pragma once
#include <string>

class GameWrapper;

namespace brevant {

// The backend's confirmation of a rank check, as a toast. Game thread.
void showRankAck(GameWrapper* gw, const std::string& status, const std::string& note);

}  // namespace brevant

#pragma once
#include <string>

#include "net/Dispatcher.h"

class GameWrapper;

namespace brevant {

// The backend's confirmation of a rank check, as a toast. Game thread.
void showRankAck(GameWrapper* gw, const std::string& status, const std::string& note);

// "rank_ack": reads the status and note and posts their toast to the game thread. Receiver
// thread.
RouteOutcome onRankAck(const json& msg);

}  // namespace brevant

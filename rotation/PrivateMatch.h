#pragma once
// Private matches on the backend's orders: creating one (and starting its rotation), joining
// another player's, and keeping the game's replay auto-save on.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "net/Json.h"
#include "sdk/Records.h"

class GameWrapper;

namespace brevant {

// What the dispatch thread hands the game thread for one creation.
struct PrivateMatchOrder {
    CustomMatchSettings settings;
    bool rotate = true;
    const std::vector<std::string>* mapList = nullptr;  // one of the two constant lists
    std::int32_t bestOf = 5;
};

// Calls of enableReplayAutoSave that found a replay director; one in five is logged.
extern std::atomic<std::int32_t> autoSaveLogCount;

// The match name and password as the orders carry them, under one of several keys.
std::string matchName(const json& msg);
std::string matchPassword(const json& msg);

// The create order, once the device is paired: reads the message into an order and posts the
// reset of the rotation for the new match and hostPrivateMatch. Dispatch thread.
void createPrivateMatchOrder(const json& msg);
// The order as the message gives it, with the clamps and the best-of rule.
PrivateMatchOrder readPrivateMatchOrder(const json& msg, std::string& serverName);
// Creates the match, answers "create_ack" and starts the rotation. Game thread.
void hostPrivateMatch(const PrivateMatchOrder& order, GameWrapper& gw);

// The join order, once its destination and pairing guards passed. On the game thread, after
// whatever was posted before it: while hosting, a join addressed to this device (`addressedHere`)
// ends the hosting first, and any other is refused; then it records the room, starts the joined
// series and arms the join. Dispatch thread.
void joinPrivateMatchOrder(const std::string& room, const std::string& password,
                           bool addressedHere);
// Four join attempts, four auto-save timers and the rotation-state check. Game thread.
void scheduleJoinPrivateMatch(const std::string& room, const std::string& password,
                              GameWrapper& gw);
void joinPrivateMatchNow(const std::string& room, const std::string& password, GameWrapper& gw);

// Switches the replay auto-save of the current (or online) game on. Game thread.
void enableReplayAutoSave(GameWrapper& gw);
// Arms enableReplayAutoSave at each delay. Game thread.
void armReplayAutoSave(GameWrapper& gw, std::initializer_list<float> delays);

}  // namespace brevant

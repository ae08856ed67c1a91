#pragma once
// Submitting the player's ranks in the three ranked playlists to the backend.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

class GameWrapper;
class CVarManagerWrapper;

namespace brevant {
struct HttpResult;
}

namespace brevant::ranks {

// Starts a submission unless one is still in flight (then says so in a toast). Reads the ranks
// on the game thread, sends them on a worker and shows the backend's answer in a toast.
void submitAsync(const std::string& deviceId, std::shared_ptr<GameWrapper> gw,
                 std::shared_ptr<CVarManagerWrapper> cvars, bool (*isPaired)());

// The ranks the game reports for playlists 10, 11 and 13, skipping those it cannot read.
// Game thread.
nlohmann::json collectRanks(GameWrapper& gw);

// The toast text for a submission's outcome.
std::string replyText(bool sent, const HttpResult& result);

// A duration for people, always rounded up: 1s, 2m, 47h, 2d; empty for a negative one.
std::string formatDuration(std::int64_t ms);

// Whether a submission is in flight.
bool submissionInFlight();

// No submission in flight, as at a first load.
void resetRankState();

}  // namespace brevant::ranks

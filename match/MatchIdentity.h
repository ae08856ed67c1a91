#pragma once
// Which private match the plugin is in, and whether it owns it: the rotation, the game result and
// the replays all read it; the create and join orders set it.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "match/HostingLock.h"

namespace brevant {

// The name of the private match this plugin last created or joined. Under hostingMutex.
extern std::string currentServerName;
// True while this plugin hosts the private match it created on the backend's order: what
// hostingSeries() says (match/Series.h), written only there.
extern std::atomic<bool> lobbyOwned;
// The games that ended and whose replays may still come: whether each was a game of the series
// (its replay is owned), the series' name, and when it ended. Each game end adds one; each replay
// the watcher hands over takes the latest game that ended before it was written (or up to 10 s
// after: the game may stamp it a moment before its end reaches the plugin), at most 60 s before.
// So replays the game writes at the same time (a slow one and the next game's) each find a game,
// a join does not take the last series' game from a replay still being written, and a game that
// saved no replay leaves nothing for a later match's replay.
struct ComingReplay {
    bool owned = false;
    std::string series;
};
// A game ended, now. At most 8 are kept. Any thread.
void noteReplayComing(bool owned, const std::string& series);
// The game of a replay last written at `writtenAt` (the file clock's raw count); nothing when
// none fits. Any thread.
std::optional<ComingReplay> takeComingReplay(std::int64_t writtenAt);
// Whether the game that ended last was of the series.
bool nextReplayOwned();

// currentServerName, read under the lock.
std::string serverNameNow();

// The match name and the coming replays back to their values at a first load (lobbyOwned goes with
// the series: resetSeries).
void resetMatchIdentity();

}  // namespace brevant

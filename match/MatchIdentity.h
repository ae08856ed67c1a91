#pragma once
// Which private match the plugin is in, and whether it owns it: the rotation, the game result and
// the replays all read it; the create and join orders set it.
#include <atomic>
#include <string>

#include "match/HostingLock.h"

namespace brevant {

// The name of the private match this plugin last created or joined. Under hostingMutex.
extern std::string currentServerName;
// True while this plugin hosts the private match it created on the backend's order: what
// hostingSeries() says (match/Series.h), written only there.
extern std::atomic<bool> lobbyOwned;
// The next replay to appear belongs to a match this plugin hosts: set when an owned match ends,
// cleared by a join, taken by the replay watcher.
extern std::atomic<bool> nextReplayOwned;

// currentServerName, read under the lock.
std::string serverNameNow();

// The match name and nextReplayOwned back to their values at a first load (lobbyOwned goes with
// the series: resetSeries).
void resetMatchIdentity();

}  // namespace brevant

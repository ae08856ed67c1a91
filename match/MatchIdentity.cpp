#include "match/MatchIdentity.h"

namespace brevant {

std::mutex hostingMutex;
std::string currentServerName;
std::atomic<bool> lobbyOwned{false};
std::atomic<bool> nextReplayOwned{false};

std::string serverNameNow() {
    std::lock_guard lk(hostingMutex);
    return currentServerName;
}

void resetMatchIdentity() {
    nextReplayOwned.store(false);
    std::lock_guard lk(hostingMutex);
    currentServerName.clear();
}

}  // namespace brevant

#include "rotation/HostingState.h"

namespace brevant {

RotationState::RotationState() {
    settings.MaxPlayerCount = 8;
}

std::mutex hostingMutex;
RotationState rotationState;
std::string currentServerName;
std::atomic<bool> lobbyOwned{false};

std::string serverNameNow() {
    std::lock_guard lk(hostingMutex);
    return currentServerName;
}

}  // namespace brevant

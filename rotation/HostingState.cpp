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

void resetHostingState() {
    lobbyOwned.store(false);
    std::lock_guard lk(hostingMutex);
    const RotationState initial;
    rotationState.file = initial.file;
    rotationState.enabled.store(initial.enabled.load());
    rotationState.nextIdx.store(initial.nextIdx.load());
    rotationState.rotation = initial.rotation;
    rotationState.lastMap = initial.lastMap;
    rotationState.settings = initial.settings;
    rotationState.region = initial.region;
    rotationState.rev.store(initial.rev.load());
    rotationState.ts.store(initial.ts.load());
    currentServerName.clear();
}

}  // namespace brevant

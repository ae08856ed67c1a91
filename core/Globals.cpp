#include "core/Globals.h"

namespace brevant {

SharedHandle<CVarManagerWrapper> globalCvarManager;
SharedHandle<GameWrapper> globalGameWrapper;
std::string deviceId;
std::atomic<bool> nextReplayOwned{false};

}  // namespace brevant

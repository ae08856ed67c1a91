#include "plugin/Globals.h"

namespace brevant {

std::atomic<std::shared_ptr<CVarManagerWrapper>> globalCvarManager;
std::atomic<std::shared_ptr<GameWrapper>> globalGameWrapper;
std::string deviceId;

}  // namespace brevant

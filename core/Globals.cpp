#include "core/Globals.h"

namespace brevant {

SharedHandle<CVarManagerWrapper> globalCvarManager;
SharedHandle<GameWrapper> globalGameWrapper;
std::string deviceId;

}  // namespace brevant

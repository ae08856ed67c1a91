#pragma once
// The module-wide handles and values that every part of the plugin reaches.
#include <atomic>
#include <memory>
#include <string>

#include "core/SharedHandle.h"
#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace brevant {

// Copies of the host's two handles, taken by onLoad. Worker, receiver and watcher threads copy
// them while the game thread sets or empties them, so every access is one indivisible step. The
// console manager is never emptied; the game wrapper is emptied by onUnload, and whoever finds it
// empty skips its game work.
extern SharedHandle<CVarManagerWrapper> globalCvarManager;
extern SharedHandle<GameWrapper> globalGameWrapper;

// The device identifier: written once by onLoad before any thread that reads it starts.
extern std::string deviceId;

inline constexpr const char* pluginVersion = "0.0.2";

}  // namespace brevant

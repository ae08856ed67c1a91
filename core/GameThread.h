#pragma once
// Reaching the game thread from anywhere, and the plugin's one shape of toast.
#include <functional>
#include <string>

class GameWrapper;

namespace brevant {

// Posts fn to the game thread through a copy of globalGameWrapper. Nothing is posted when the
// handle is empty, and the posted call does nothing when the handle has been emptied by the time
// it runs (a copy taken just before unload can still post after it). Any thread.
void postToGame(std::function<void(GameWrapper*)> fn);

// Arms a timer on the host's game wrapper (game thread). When it fires, fn runs behind the
// failure boundary (`where`) with the game wrapper, unless the plugin has been unloaded by then.
void armTimer(GameWrapper& gw, float seconds, const char* where,
              std::function<void(GameWrapper&)> fn);

// Shows a toast with the plugin's title and shape. Game thread.
void showToast(GameWrapper* gw, const std::string& text);

}  // namespace brevant

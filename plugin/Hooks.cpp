#include "plugin/Hooks.h"

#include <string>

#include "core/Globals.h"
#include "core/Guard.h"
#include "plugin/Brevant.h"
#include "rotation/PrivateMatch.h"

namespace brevant {
namespace {

void onMatchEnded(const std::shared_ptr<GameWrapper>& gw) {
    if (!gw)
        return;
}

void onRoundStarted() {
    if (auto gw = globalGameWrapper.load())
        armReplayAutoSave(*gw, {0.1f});
}

}  // namespace

void handlePostGameLobby(const std::shared_ptr<GameWrapper>& gw) {
    if (!gw)
        return;
    armReplayAutoSave(*gw, {0.05f, 0.4f, 0.8f, 1.5f});
}

void hookGameEvents(Brevant& plugin) {
    GameWrapper& gw = *plugin.gameWrapper;
    // The plugin's own handle, held weakly: a hook never keeps the host's wrapper alive, and
    // finds nothing once the plugin object is gone.
    std::weak_ptr<GameWrapper> own = plugin.gameWrapper;
    gw.HookEvent(eventMatchEnded, [own](std::string) {
        runGuarded("hook match ended", [&] { onMatchEnded(own.lock()); });
    });
    gw.HookEvent(eventPostGameLobby, [own](std::string) {
        runGuarded("hook post-game lobby", [&] { handlePostGameLobby(own.lock()); });
    });
    gw.HookEvent(eventStartRound, [](std::string) { runGuarded("hook round", onRoundStarted); });
    gw.HookEvent(eventActiveStartRound,
                 [](std::string) { runGuarded("hook round", onRoundStarted); });
}

}  // namespace brevant

#include "plugin/Hooks.h"

#include <string>

#include "plugin/Brevant.h"
#include "plugin/Globals.h"

namespace brevant {
namespace {

void onMatchEnded(const std::shared_ptr<GameWrapper>& gw) {
    if (!gw)
        return;
}

void onRoundStarted() {
    if (!globalGameWrapper.load())
        return;
}

}  // namespace

void handlePostGameLobby(const std::shared_ptr<GameWrapper>& gw) {
    if (!gw)
        return;
}

void hookGameEvents(Brevant& plugin) {
    GameWrapper& gw = *plugin.gameWrapper;
    // The plugin's own handle, held weakly: a hook never keeps the host's wrapper alive, and
    // finds nothing once the plugin object is gone.
    std::weak_ptr<GameWrapper> own = plugin.gameWrapper;
    gw.HookEvent(eventMatchEnded, [own](std::string) { onMatchEnded(own.lock()); });
    gw.HookEvent(eventPostGameLobby, [own](std::string) { handlePostGameLobby(own.lock()); });
    gw.HookEvent(eventStartRound, [](std::string) { onRoundStarted(); });
    gw.HookEvent(eventActiveStartRound, [](std::string) { onRoundStarted(); });
}

}  // namespace brevant

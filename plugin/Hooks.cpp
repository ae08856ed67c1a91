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
    Brevant* self = &plugin;
    gw.HookEvent(eventMatchEnded, [self](std::string) { onMatchEnded(self->gameWrapper); });
    gw.HookEvent(eventPostGameLobby,
                 [self](std::string) { handlePostGameLobby(self->gameWrapper); });
    gw.HookEvent(eventStartRound, [](std::string) { onRoundStarted(); });
    gw.HookEvent(eventActiveStartRound, [](std::string) { onRoundStarted(); });
}

}  // namespace brevant

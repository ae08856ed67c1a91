#include "plugin/Hooks.h"

#include <cstdint>
#include <mutex>
#include <string>

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendSession.h"
#include "net/Json.h"
#include "outbox/Outbox.h"
#include "pairing/PairingState.h"
#include "plugin/Status.h"
#include "replays/ReplayWatcher.h"
#include "results/GameResult.h"
#include "rotation/HostingState.h"
#include "rotation/PrivateMatch.h"
#include "rotation/RotationEngine.h"
#include "rotation/RotationSync.h"

namespace brevant {
namespace {

// A result the session does not take now goes to the outbox, to be sent after the next hello.
std::string sendOrKeepResult(const std::string& text) {
    std::string name = "game_result";
    try {
        const json doc = json::parse(text);
        name = doc.at("winner").get<std::string>() + " " +
               std::to_string(doc.at("blueGoals").get<int>()) + "-" +
               std::to_string(doc.at("orangeGoals").get<int>()) + " (" +
               doc.at("server").get<std::string>() + ")";
    } catch (...) {
        // The listing shows it by its type alone.
    }
    const std::string notSent = outbox::sendOrKeepResult(text, name);
    noteResultReported(name, notSent.empty() ? "enviado" : "guardado (" + notSent + ")");
    return notSent;
}

// The game result report with its inputs as they are when the timer fires, not when it was
// armed: a join, an unload or a new match in between is seen.
void reportGameResultNow(GameWrapper& gw) {
    std::string server;
    std::int32_t region = 0;
    {
        std::lock_guard lk(hostingMutex);
        server = currentServerName;
        region = rotationState.region;
    }
    // Only a game of the series this client hosts is reported: not one after the host left it.
    reportGameResult(&gw, paired.load(), hostingSeries(), server, deviceId, pluginVersion, region,
                     sendOrKeepResult, logLine);
}

void armGameResult(GameWrapper& gw, float seconds) {
    armTimer(gw, seconds, "timer game result", reportGameResultNow);
}

void onMatchEnded(const std::shared_ptr<GameWrapper>& gw) {
    if (!gw)
        return;
    runGuarded("mark next replay", [&] { markNextReplayIfOwned(gw.get()); });
    armGameResult(*gw, 0.3f);
}

void onRoundStarted() {
    if (auto gw = globalGameWrapper.load())
        armReplayAutoSave(*gw, {0.1f});
}

}  // namespace

void handlePostGameLobby(const std::shared_ptr<GameWrapper>& gw) {
    if (!gw)
        return;
    runGuarded("mark next replay", [&] { markNextReplayIfOwned(gw.get()); });
    armReplayAutoSave(*gw, {0.05f, 0.4f, 0.8f, 1.5f});
    armGameResult(*gw, 0.1f);
    if (!rotationDrivesThisMatch(*gw))
        return;
    logLine("[BRV] post-game lobby (READY) -> aplicando troca");
    // The lobby settles at its own pace: the next map goes in several times, each one checking
    // the guards again.
    for (float delay : {0.1f, 0.6f, 1.2f, 2.0f, 3.0f, 4.0f, 6.0f, 8.0f})
        armTimer(*gw, delay, "timer next map", [](GameWrapper&) { scheduleNextMapUpdate(); });
    armTimer(*gw, 0.25f, "timer rotate_state broadcast",
             [](GameWrapper&) { broadcastRotationState(); });
}

void hookGameEvents(const std::shared_ptr<GameWrapper>& gameWrapper) {
    GameWrapper& gw = *gameWrapper;
    // The plugin's own handle, held weakly: a hook never keeps the host's wrapper alive, and
    // finds nothing once the plugin object is gone.
    std::weak_ptr<GameWrapper> own = gameWrapper;
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

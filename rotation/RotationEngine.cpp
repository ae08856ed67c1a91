#include "rotation/RotationEngine.h"

#include <optional>
#include <vector>

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "match/PrivateMatch.h"
#include "match/Series.h"
#include "pairing/PairingState.h"
#include "platform/Clock.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "rotation/RotationFile.h"
#include "rotation/RotationSync.h"
#include "sdk/GameWrapper.h"

namespace brevant {

std::atomic<std::int64_t> lastWatchdogApplyMs{0};

namespace {

constexpr std::int64_t watchdogApplyIntervalMs = 1500;
constexpr float watchdogTickSeconds = 1.0f;

bool rotationListEmpty() {
    std::lock_guard lk(hostingMutex);
    return rotationState.rotation.empty();
}

// The map applyNextMap and the watchdog put into the match next, read under the lock.
std::optional<std::string> nextMapToApply() {
    std::lock_guard lk(hostingMutex);
    const auto& list = rotationState.rotation;
    const std::int32_t at =
        pickNextIndex(list, rotationState.lastMap, rotationState.nextIdx.load());
    if (at < 0)
        return std::nullopt;
    return list[static_cast<std::size_t>(at)];
}

// A failed apply while paired hands the map over to whoever in the match can apply it.
void applyOrHandOff(GameWrapper& gw, const std::string& next) {
    const bool ok = applyMap(&gw, next, paired.load(), globalCvarManager.load());
    if (!ok && paired.load())
        startHandoff(next);
}

}  // namespace

void resetRotationEngineState() {
    lastWatchdogApplyMs.store(0);
    resetHandoffState();
}

bool applyMap(GameWrapper* gw, const std::string& map, bool pairedNow,
              const std::shared_ptr<CVarManagerWrapper>& console) {
    if (!pairedNow) {
        logTo(console, "[BRV] device n\xE3o pareado");
        return false;
    }
    if (!gw) {
        logTo(console, "[BRV] GameWrapper nulo");
        return false;
    }
    MatchmakingWrapper mm = gw->GetMatchmakingWrapper();
    if (mm.IsNull()) {
        logTo(console, "[BRV] MatchmakingWrapper null");
        return false;
    }
    try {
        CustomMatchSettings settings;
        {
            std::lock_guard lk(hostingMutex);
            settings = rotationState.settings;
        }
        settings.MapName = map;
        // A refusal that the game reports by its result leaves the match as it was: counting it
        // as applied would move the rotation past a map that was never played.
        if (!mm.UpdatePrivateMatch(settings)) {
            logTo(console, "[BRV] error applying map");
            return false;
        }
        std::lock_guard lk(hostingMutex);
        rotationState.lastMap = map;
        if (!rotationState.rotation.empty())
            advanceAfterLocked(map);
        rotationState.settings.MapName = map;
        rotationState.rev.fetch_add(1);
        rotationState.ts.store(platform::steadyMillis());
        return true;
    } catch (...) {
        logTo(console, "[BRV] error applying map");
        return false;
    }
}

void syncFromCurrentMap(GameWrapper* gw, bool log) {
    try {
        if (!gw || rotationListEmpty())
            return;
        const std::string cur = gw->GetCurrentMap();
        if (cur.empty())
            return;
        std::int32_t next = 0;
        {
            std::lock_guard lk(hostingMutex);
            const auto& list = rotationState.rotation;
            const std::int32_t at = indexOfMap(list, cur);
            // The lookup ignores case, the comparison does not: the game's own spelling wins.
            if (at < 0 || cur == rotationState.lastMap)
                return;
            rotationState.lastMap = cur;
            next = (at + 1) % static_cast<std::int32_t>(list.size());
            rotationState.nextIdx.store(next);
        }
        saveRotationState();
        if (log)
            logLine("[BRV] syncFromCurrentMap: lastApplied=" + cur +
                    " -> nextIdx=" + std::to_string(next));
    } catch (...) {
        // The game could not say its map; the next pass looks again.
    }
}

void scheduleNextMapUpdate() {
    if (!paired.load()) {
        logLine("[BRV] rotate: BLOQUEADO");
        return;
    }
    if (!rotationState.enabled.load()) {
        logLine("[BRV] rotate: desativado");
        return;
    }
    if (rotationListEmpty()) {
        logLine("[BRV] rotate: lista vazia");
        return;
    }
    if (!globalGameWrapper.load()) {
        logLine("[BRV] rotate: null");
        return;
    }
    postToGame([](GameWrapper* gw) {
        if (gw)
            applyNextMap(*gw);
    });
}

void applyNextMap(GameWrapper& gw) {
    if (!paired.load())
        return;
    const bool inPrivate = onlineGameIsPrivate(gw);
    const bool ownMatch = observeSeries(inPrivate);
    if (!inPrivate) {
        logLine("[BRV] rotate: fora de private");
        return;
    }
    if (!ownMatch)
        return;  // a private match, but not the series': its maps are not ours to change
    syncFromCurrentMap(&gw, true);
    const auto next = nextMapToApply();
    if (!next)
        return;
    logLine("[BRV] UpdatePrivateMatch -> next=" + *next);
    applyOrHandOff(gw, *next);
}

void startHandoff(const std::string& next) {
    {
        std::lock_guard lk(hostingMutex);
        pendingHandoffMap = next;
    }
    // No flag to clear: an answer names the hand-off it answers, and this one's number is new.
    handoffSends.store(0);
    const std::uint32_t seq = handoffSeq.fetch_add(1) + 1;
    sendRotateHandoff(seq, next);
    handoffSends.fetch_add(1);
    scheduleHandoffRetry(seq);
}

void tickRotationWatchdog() {
    if (!globalGameWrapper.load())
        return;  // unloaded: the chain ends here
    postToGame([](GameWrapper* gw) {
        if (gw)
            rotationWatchdogStep(*gw);
    });
    if (const auto gw = globalGameWrapper.load())
        armTimer(*gw, watchdogTickSeconds, "timer rotation watchdog",
                 [](GameWrapper&) { tickRotationWatchdog(); });
}

void rotationWatchdogStep(GameWrapper& gw) {
    // One question to the game, whatever the phase: a series on ends after a long absence from
    // private matches, and a peer's message is taken only while the game is in one.
    const bool ownMatch = observeSeries(onlineGameIsPrivate(gw));
    if (!paired.load() || !ownMatch)
        return;
    if (rotationListEmpty()) {
        // In the series' match without its rotation (a join whose one check came too early, or
        // whose answer was lost): ask, at most every few seconds, until it arrives.
        requestRotationStateIfMissing(&gw);
        return;
    }
    if (!rotationState.enabled.load())
        return;
    syncFromCurrentMap(&gw, false);
    const std::int64_t now = platform::steadyMillis();
    if (now - lastWatchdogApplyMs.load() < watchdogApplyIntervalMs)
        return;
    lastWatchdogApplyMs.store(now);
    if (const auto next = nextMapToApply())
        applyOrHandOff(gw, *next);
}

bool rotationDrivesThisMatch(GameWrapper& gw) {
    if (!rotationState.enabled.load() || !seriesOn())
        return false;
    try {
        return observeSeries(onlineGameIsPrivate(gw));
    } catch (...) {
        return false;  // the game could not say: nothing is applied on a guess
    }
}

}  // namespace brevant

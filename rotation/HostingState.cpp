#include "rotation/HostingState.h"

#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "platform/Clock.h"
#include "rotation/MapLists.h"
#include "rotation/RotationFile.h"
#include "rotation/RotationSync.h"

namespace brevant {

RotationState::RotationState() {
    settings.MaxPlayerCount = 8;
}

RotationState rotationState;
std::atomic<bool> rotateStateRequested{false};
std::atomic<SeriesMatch> seriesMatch{SeriesMatch::None};

void nameSeriesMatch() {
    seriesMatch.store(SeriesMatch::Named);
}

bool observeSeriesMatch(bool gameInPrivateMatch) {
    auto state = seriesMatch.load();
    if (gameInPrivateMatch) {
        if (state == SeriesMatch::Named)
            seriesMatch.compare_exchange_strong(state, SeriesMatch::Entered);
        return state != SeriesMatch::None;
    }
    if (state == SeriesMatch::Entered)
        seriesMatch.compare_exchange_strong(state, SeriesMatch::None);
    return false;
}

std::optional<SeriesView> trySeriesView() {
    std::unique_lock lk(hostingMutex, std::try_to_lock);
    if (!lk.owns_lock())
        return std::nullopt;
    SeriesView view{currentServerName, rotationState.enabled.load(), {}, rotationState.rev.load()};
    const auto& list = rotationState.rotation;
    const std::int32_t next =
        pickNextIndex(list, rotationState.lastMap, rotationState.nextIdx.load());
    if (next >= 0)
        view.nextMap = list[static_cast<std::size_t>(next)];
    return view;
}

void resetHostingState() {
    rotateStateRequested.store(false);
    seriesMatch.store(SeriesMatch::None);
    std::lock_guard lk(hostingMutex);
    const RotationState initial;
    rotationState.file = initial.file;
    rotationState.enabled.store(initial.enabled.load());
    rotationState.nextIdx.store(initial.nextIdx.load());
    rotationState.rotation = initial.rotation;
    rotationState.lastMap = initial.lastMap;
    rotationState.settings = initial.settings;
    rotationState.region = initial.region;
    rotationState.rev.store(initial.rev.load());
    rotationState.ts.store(initial.ts.load());
}

void advanceAfterLocked(const std::string& map) {
    const std::int32_t at = indexOfMap(rotationState.rotation, map);
    if (at >= 0)
        rotationState.nextIdx.store((at + 1) %
                                    static_cast<std::int32_t>(rotationState.rotation.size()));
}

void resetRotationForNewLobby(const std::string& room, const CustomMatchSettings& settings) {
    {
        std::lock_guard lk(hostingMutex);
        rotationState.settings = settings;
        currentServerName = room;
        rotationState.enabled.store(false);
        rotationState.rotation.clear();
        rotationState.nextIdx.store(0);
        rotationState.lastMap.clear();
    }
    rotateStateRequested.store(false);
    forgetStateRequests();
    endHandoff();
    nameSeriesMatch();
}

void resetRotationForJoin(const std::string& room) {
    {
        std::lock_guard lk(hostingMutex);
        const RotationState initial;
        currentServerName = room;
        rotationState.enabled.store(initial.enabled.load());
        rotationState.rotation.clear();
        rotationState.nextIdx.store(initial.nextIdx.load());
        rotationState.lastMap.clear();
        rotationState.rev.store(initial.rev.load());
        rotationState.ts.store(initial.ts.load());
    }
    rotateStateRequested.store(false);
    forgetStateRequests();
    endHandoff();
    nameSeriesMatch();
}

void activateRotation(const std::vector<std::string>& list, const std::string& firstMap,
                      std::int32_t bestOf) {
    {
        std::lock_guard lk(hostingMutex);
        rotationState.rotation = list;
        rotationState.lastMap = firstMap;
        if (rotationState.rotation.empty())
            rotationState.nextIdx.store(0);
        else
            advanceAfterLocked(firstMap);
        rotationState.enabled.store(true);
        rotationState.rev.fetch_add(1);
        rotationState.ts.store(platform::steadyMillis());
    }
    saveRotationState();
    const char* series = bestOf == 7 ? "MD7" : bestOf == 3 ? "MD3" : "MD5";
    logLine(std::string("[BRV] Rotacao ativa: ") + series + " | inicio=" + firstMap);
    broadcastRotationState();
}

}  // namespace brevant

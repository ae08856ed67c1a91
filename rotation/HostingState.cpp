#include "rotation/HostingState.h"

#include "core/FieldCount.h"
#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "platform/Clock.h"
#include "rotation/MapLists.h"

namespace brevant {

RotationState rotationState;
std::atomic<bool> rotateStateRequested{false};

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
    resetSeries();
    std::lock_guard lk(hostingMutex);
    // Every member, each back to its initial value: a member added to RotationState fails here
    // until it has its line.
    static_assert(fieldCount<RotationState>() == 9, "reset the new member of RotationState here");
    const RotationState initial{};
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

}  // namespace brevant

#include "match/Series.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "platform/Clock.h"

namespace brevant {
namespace {

constexpr std::int64_t notOutside = -1;

// Transitions hold it; questions read the atomics.
std::mutex seriesMutex;
std::atomic<SeriesPhase> phase{SeriesPhase::None};
std::atomic<bool> inPrivateLastSeen{false};
std::int64_t beganAtMs = 0;                // guarded by seriesMutex
std::int64_t outsideSinceMs = notOutside;  // guarded by seriesMutex

// With seriesMutex held. The phase and lobbyOwned change together, before any line tells of it.
void enterLocked(SeriesPhase next) {
    phase.store(next);
    lobbyOwned.store(next == SeriesPhase::Hosting);
    beganAtMs = platform::steadyMillis();
    outsideSinceMs = notOutside;
}

}  // namespace

void beginHostingSeries() {
    std::lock_guard lk(seriesMutex);
    enterLocked(SeriesPhase::Hosting);
}

void beginJoinedSeries() {
    std::lock_guard lk(seriesMutex);
    enterLocked(SeriesPhase::Joined);
}

bool resumeSeries(const std::string& server) {
    {
        std::lock_guard lk(seriesMutex);
        if (phase.load() != SeriesPhase::None)
            return false;
        enterLocked(SeriesPhase::Joined);
    }
    logLine("[BRV] Serie retomada: '" + clippedForLog(server) + "'");
    return true;
}

void endSeries(const std::string& why) {
    std::string server;
    {
        std::lock_guard lk(seriesMutex);
        const SeriesPhase now = phase.load();
        if (now != SeriesPhase::Hosting && now != SeriesPhase::Joined)
            return;
        enterLocked(SeriesPhase::Ended);
    }
    logLine("[BRV] Serie encerrada: '" + clippedForLog(serverNameNow()) + "' (" + why + ")");
}

void resetSeries() {
    std::lock_guard lk(seriesMutex);
    enterLocked(SeriesPhase::None);
    inPrivateLastSeen.store(false);
}

bool observeSeries(bool gameInPrivateMatch) {
    inPrivateLastSeen.store(gameInPrivateMatch);
    if (!seriesOn())
        return false;
    bool ends = false;
    {
        std::lock_guard lk(seriesMutex);
        if (gameInPrivateMatch) {
            outsideSinceMs = notOutside;
        } else {
            // A map load between two games is short; only a long absence ends the series, and
            // not before its match has had the time to load.
            const std::int64_t now = platform::steadyMillis();
            if (outsideSinceMs == notOutside)
                outsideSinceMs = now;
            const std::int64_t counted = std::max(outsideSinceMs, beganAtMs + seriesLoadGraceMs);
            ends = now - counted >= seriesEndsOutsideMs;
        }
    }
    if (ends)
        endSeries("fora de private ha " + std::to_string(seriesEndsOutsideMs / 1000) + "s");
    return gameInPrivateMatch && seriesOn();
}

SeriesPhase seriesPhase() {
    return phase.load();
}

bool seriesOn() {
    const SeriesPhase now = phase.load();
    return now == SeriesPhase::Hosting || now == SeriesPhase::Joined;
}

bool hostingSeries() {
    return phase.load() == SeriesPhase::Hosting;
}

bool seriesEnded() {
    return phase.load() == SeriesPhase::Ended;
}

bool gameInPrivateMatchLastSeen() {
    return inPrivateLastSeen.load();
}

}  // namespace brevant

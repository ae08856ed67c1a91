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
// Guarded by seriesMutex.
std::int64_t beganAtMs = 0;
bool awaitingLeave = false;  // the order found the game in a private match, not yet left
bool entered = false;        // the game has been seen in the series' match
std::int64_t outsideSinceMs = notOutside;

// With seriesMutex held. The phase and lobbyOwned change together, before any line tells of it.
void enterLocked(SeriesPhase next) {
    phase.store(next);
    lobbyOwned.store(next == SeriesPhase::Hosting);
    beganAtMs = platform::steadyMillis();
    awaitingLeave = inPrivateLastSeen.load();
    entered = false;
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
    std::string why;
    {
        std::lock_guard lk(seriesMutex);
        const std::int64_t now = platform::steadyMillis();
        if (gameInPrivateMatch) {
            outsideSinceMs = notOutside;
            if (!awaitingLeave || now - beganAtMs >= seriesOldMatchMs)
                entered = true;
        } else {
            awaitingLeave = false;
            // A map load between two games is short; only a long absence ends the series.
            if (outsideSinceMs == notOutside)
                outsideSinceMs = now;
            if (entered && now - outsideSinceMs >= seriesEndsOutsideMs)
                why = "fora de private ha " + std::to_string(seriesEndsOutsideMs / 1000) + "s";
            else if (!entered && now - beganAtMs >= seriesNeverEnteredMs)
                why = "a partida nao abriu em " + std::to_string(seriesNeverEnteredMs / 1000) + "s";
        }
    }
    if (!why.empty())
        endSeries(why);
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

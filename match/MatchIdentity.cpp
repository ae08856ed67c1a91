#include "match/MatchIdentity.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <iterator>

namespace brevant {

std::mutex hostingMutex;
std::string currentServerName;
std::atomic<bool> lobbyOwned{false};

namespace {

namespace fs = std::filesystem;

struct Coming {
    ComingReplay replay;
    std::int64_t endedAt = 0;  // the file clock's raw count, as replays' write times are
};
std::mutex comingMutex;
std::deque<Coming> coming;
constexpr std::size_t maxComing = 8;

std::int64_t fileClockCount(std::chrono::seconds s) {
    return std::chrono::duration_cast<fs::file_time_type::duration>(s).count();
}

}  // namespace

void noteReplayComing(bool owned, const std::string& series) {
    std::lock_guard lk(comingMutex);
    coming.push_back(
        {{owned, series}, fs::file_time_type::clock::now().time_since_epoch().count()});
    while (coming.size() > maxComing)
        coming.pop_front();
}

std::optional<ComingReplay> takeComingReplay(std::int64_t writtenAt) {
    std::lock_guard lk(comingMutex);
    const std::int64_t earliest = writtenAt - fileClockCount(std::chrono::seconds(60));
    const std::int64_t latest = writtenAt + fileClockCount(std::chrono::seconds(10));
    for (auto it = coming.rbegin(); it != coming.rend(); ++it) {
        if (it->endedAt > latest)
            continue;
        if (it->endedAt < earliest)
            break;
        ComingReplay found = std::move(it->replay);
        coming.erase(std::next(it).base());
        return found;
    }
    return std::nullopt;
}

bool nextReplayOwned() {
    std::lock_guard lk(comingMutex);
    return !coming.empty() && coming.back().replay.owned;
}

std::string serverNameNow() {
    std::lock_guard lk(hostingMutex);
    return currentServerName;
}

void resetMatchIdentity() {
    {
        std::lock_guard lk(comingMutex);
        coming.clear();
    }
    std::lock_guard lk(hostingMutex);
    currentServerName.clear();
}

}  // namespace brevant

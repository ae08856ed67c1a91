#pragma once
// The owned mark: written at the end of each game of the series (through the file writer), so
// that the replay of that game is never left behind when the game closes, or the plugin is
// killed, before the watcher handed it over. It says when the game ended, which series and
// device it was, whether its replay is still owed, and the names already handed over (a few).
// The next load hands over every replay written since the mark that was not handed over yet.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brevant {

struct OwnedMark {
    std::int64_t endedAt = 0;  // the file clock's raw count, as replays' write times are
    std::string series;
    std::string deviceId;
    bool owed = false;                    // the game's replay has not been handed over yet
    std::vector<std::string> handedOver;  // UTF-8 file names, the newest last
};

// Where the mark is kept (the load sets it; empty: nowhere). Never touches the disk. Game thread.
void setOwnedMarkFile(const std::filesystem::path& file);
// A game ended: of the series (its replay is owed) or not (nothing owed). Game thread.
void noteGameEnded(bool owned, const std::string& series, const std::string& deviceId);
// The replay `name` went to the outbox (or is not to be sent): nothing is owed any more. Any
// thread.
void noteReplayHandedOver(const std::string& name);
// The mark the last run left, read from its file: the watcher's first step, on its thread.
// Nothing when there is none, it cannot be read, or a game of this run ended first.
std::optional<OwnedMark> readLastRunsOwnedMark();

}  // namespace brevant

#pragma once
// What the plugin knows of the series' map rotation in the private match it hosts or sits in.
//
// `hostingMutex` (match/HostingLock.h) guards the non-atomic members of rotationState (file,
// rotation, lastMap, settings, region) with the match's name, under its locking rule. A save
// copies the state under the lock and hands it to the file writer, which keeps the newest
// whichever thread saved.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "match/HostingLock.h"
#include "sdk/Records.h"

namespace brevant {

// The match's settings at start: the game's defaults, for at most 8 players.
inline CustomMatchSettings startingMatchSettings() {
    CustomMatchSettings settings;
    settings.MaxPlayerCount = 8;
    return settings;
}

struct RotationState {
    std::filesystem::path file;  // the rotation file; set once by onLoad
    std::atomic<bool> enabled{false};
    std::atomic<std::int32_t> nextIdx{0};
    std::vector<std::string> rotation;  // map codes of the series, in playing order
    std::string lastMap;
    CustomMatchSettings settings = startingMatchSettings();  // as the match was created
    std::int32_t region = 9;
    std::atomic<std::uint32_t> rev{1};
    std::atomic<std::int64_t> ts{0};
};

extern RotationState rotationState;
// A "rotate_state_req" has gone out for the current match and no state has answered it yet.
extern std::atomic<bool> rotateStateRequested;

// Whether the series is on and the game in its match: match/Series.h. Only in the series' own
// match does the rotation put maps into the match or ask for the series' state: a rotation file
// left by an earlier run never drives a match the player entered by hand.

// What the status panel shows of the series.
struct SeriesView {
    std::string server;
    bool enabled = false;
    std::string nextMap;  // empty without a list
    std::uint32_t rev = 1;
};
// Never waits: nothing while the state is being changed.
std::optional<SeriesView> trySeriesView();

// The rotation state and its flags back to their values at a first load (the match's name and
// ownership: resetMatchIdentity).
void resetHostingState();

// With hostingMutex held: the map after `map` becomes the next one, when `map` is in the list
// (after the last map comes the first); otherwise nextIdx stays.
void advanceAfterLocked(const std::string& map);

}  // namespace brevant

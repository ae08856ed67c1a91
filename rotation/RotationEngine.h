#pragma once
// Putting the series' next map into the private match between games: after the post-game lobby
// opens, and from a watchdog that runs every second for the life of the plugin. When the local
// game cannot change the match, the change is handed over to the other clients.
//
// Everything here runs on the game thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CVarManagerWrapper;
class GameWrapper;

namespace brevant {

// Steady-clock milliseconds of the watchdog's last apply.
extern std::atomic<std::int64_t> lastWatchdogApplyMs;

// The engine's own state back to its value at a first load.
void resetRotationEngineState();

// Puts `map` into the match's settings through the game. On success the rotation moves past it
// (lastMap, nextIdx, the settings' map, rev and ts); the file is not written. False, with a log
// line on `console` and nothing changed, when the device is not paired, there is no game or
// matchmaking, or the game refuses or fails the update.
bool applyMap(GameWrapper* gw, const std::string& map, bool pairedNow,
              const std::shared_ptr<CVarManagerWrapper>& console);

// When the game is on a map of the list spelt otherwise than lastMap, that map becomes lastMap
// (as the game spells it), the next one follows it, and the file is saved.
void syncFromCurrentMap(GameWrapper* gw, bool log);

// Checks pairing, the rotation and the list, then posts applyNextMap. Any game-thread timer.
void scheduleNextMapUpdate();
void applyNextMap(GameWrapper& gw);

// Begins a hand-off of `next` to the other clients of the match, with its retries.
void startHandoff(const std::string& next);

// Posts one watchdog step and re-arms itself after 1.0 s, until globalGameWrapper is emptied.
void tickRotationWatchdog();
// One watchdog pass, in the series' own match only: asks for the rotation while this client has
// none; with the rotation on, keeps lastMap in step with the game and, at most every 1500 ms,
// applies the next map (or hands it over).
void rotationWatchdogStep(GameWrapper& gw);
// The post-game lobby's rotation work applies: the rotation is on and the game is in the
// series' own match. Game thread.
bool rotationDrivesThisMatch(GameWrapper& gw);

}  // namespace brevant

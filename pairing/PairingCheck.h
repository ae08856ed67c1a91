#pragma once
// Asking the backend over HTTP whether this device is paired.
#include <string>

class GameWrapper;

namespace brevant {

// The check onLoad starts: queries on a worker, sets the flags, then shows the answer on the
// game thread.
void startLoadTimePairCheck();

// The "Checar status" check: queries on a worker and sets the flags; no toast, no log line.
void checkPairStatusAsync(const std::string& deviceId);

// Game thread: the load-time toast, or the log line of a failed query.
void showPairStatusResult(GameWrapper* gw, bool ok, bool registered);

}  // namespace brevant

#pragma once
// The one lock of the match and its series: it guards currentServerName (match/MatchIdentity.h)
// and the rotation's state, which change together.
//
// Locking rule: the session's dispatch thread and the game thread both use what it guards. Hold
// it only to read or change them: never while sending on the WebSocket, posting to the game
// thread, logging or writing a file. Copy what you need under the lock, release it, then act.
#include <mutex>

namespace brevant {

extern std::mutex hostingMutex;

}  // namespace brevant

#pragma once
// Keeping the rotations of the clients of one match consistent over the backend's WebSocket:
// handing a map change over to the client that can make it ("rotate_handoff", answered by
// "rotate_handoff_ack", retried until answered), publishing the rotation ("rotate_state") and
// asking for it ("rotate_state_req").
#include <atomic>
#include <cstdint>
#include <string>

#include "net/Json.h"

class GameWrapper;

namespace brevant {

// The latest hand-off's sequence number; raised before use, so the first one is 1.
extern std::atomic<std::uint32_t> handoffSeq;
// "rotate_handoff" messages sent for the latest hand-off.
extern std::atomic<std::int32_t> handoffSends;
// The sequence number of the latest hand-off that an accepted "rotate_handoff_ack" answered (0:
// none). An answer is recorded with its own number, so that it can only ever end its own
// hand-off: a flag would be cleared by the next hand-off and then set by an answer to the one
// before it.
extern std::atomic<std::uint32_t> handoffAnsweredSeq;
// The latest hand-off's map; guarded by hostingMutex.
extern std::string pendingHandoffMap;

// A hand-off sends at most this many messages, one every handoffRetrySeconds.
inline constexpr std::int32_t handoffMaxSends = 6;
inline constexpr float handoffRetrySeconds = 1.5f;

// The hand-off state back to its value at a first load.
void resetHandoffState();
// Whether hand-off `seq` has been answered (or a later one was).
bool handoffAnswered(std::uint32_t seq);
// An accepted answer to hand-off `seq`.
void recordHandoffAnswer(std::uint32_t seq);
// The latest hand-off ends here, as if answered: the match it was for is no longer ours.
void endHandoff();

// A client without a rotation asks again at most this often until one arrives.
inline constexpr std::int64_t stateRequestIntervalMs = 5000;
// The next check may ask at once (a new match).
void forgetStateRequests();

// The "rotate_state" object of the current rotation, without "from".
json buildRotateState();

// Sends the rotation state to the other clients of the match ("rotate_state"). Any thread.
void broadcastRotationState();
// Asks the other clients of the match for their rotation ("rotate_state_req").
void requestRotationState();
// In the series' own match, while this plugin has no rotation, asks for it; again every
// stateRequestIntervalMs until one arrives. Game thread.
void requestRotationStateIfMissing(GameWrapper* gw);
// A session has just opened: in a series, ask for its state, so that a client that missed a
// "rotate_state" while the session was down catches up. Any thread.
void requestRotationStateOnOpen();

// One "rotate_handoff" of `map`, while connected and paired.
void sendRotateHandoff(std::uint32_t seq, const std::string& map);
// Arms the next retry of hand-off `seq`; it stops once the hand-off was answered, has sent its
// messages, or a newer hand-off has started. Game thread.
void scheduleHandoffRetry(std::uint32_t seq);

// Takes over a received rotation when it is usable (see usableRotation, usableRevision) and newer
// than ours (a higher "rev", or the same "rev" and a later "ts"); while we have none, any usable
// one for our match is taken. True when it was taken. Any thread.
bool applyRemoteRotationState(const json& msg);

}  // namespace brevant

#include "plugin/MessageRoutes.h"

#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "pairing/PairingMessages.h"
#include "ranks/RankAck.h"
#include "rotation/RotationMessages.h"

namespace brevant {
namespace {

// A ping tells the outbox that the backend is alive past what it was sent, and is answered (in
// that order: once the pong is out, the outbox has counted it).
RouteOutcome onPing(const json& msg) {
    outbox::pingArrived();
    return answerPing(msg);
}

// Matching order; the first row whose type equals the message's (exactly) handles it.
constexpr MessageRoute catalogue[] = {
    {"create_private", onCreatePrivate},
    {"create", onCreatePrivate},
    {"create_private_match", onCreatePrivate},
    {"join_private", onJoinPrivate},
    {"apply_map", onApplyMap},
    {"set_map", onApplyMap},
    {"rotate_handoff", onRotateHandoff},
    {"rotate_handoff_ack", onRotateHandoffAck},
    {"rotate_state_req", onRotateStateReq},
    {"rotate_state", onRotateState},
    {"paired_ok", onPairedOk},
    {"pair_required", onPairRequired},
    {"rank_ack", onRankAck},
    {"ping", onPing},
};

}  // namespace

std::span<const MessageRoute> messageRoutes() {
    return catalogue;
}

}  // namespace brevant

#include "plugin/MessageRoutes.h"

#include "net/BackendSession.h"
#include "pairing/PairingMessages.h"
#include "ranks/RankAck.h"
#include "rotation/RotationMessages.h"

namespace brevant {
namespace {

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
    {"ping", answerPing},
};

}  // namespace

std::span<const MessageRoute> messageRoutes() {
    return catalogue;
}

}  // namespace brevant

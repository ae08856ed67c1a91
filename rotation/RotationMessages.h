#pragma once
// The backend's orders to create, join or change the map of a private match, and the rotation
// messages the clients of a match exchange. The session's dispatch thread.
#include "net/Json.h"

namespace brevant {

void onCreatePrivate(const json& msg);
void onJoinPrivate(const json& msg);
void onApplyMap(const json& msg);
void onRotateHandoff(const json& msg);
void onRotateHandoffAck(const json& msg);
void onRotateStateReq(const json& msg);
void onRotateState(const json& msg);

}  // namespace brevant

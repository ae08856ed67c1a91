#pragma once
// The backend's orders to create, join or change the map of a private match, and the rotation
// messages the clients of a match exchange. The session's dispatch thread.
#include "net/Dispatcher.h"

namespace brevant {

RouteOutcome onCreatePrivate(const json& msg);
RouteOutcome onJoinPrivate(const json& msg);
RouteOutcome onApplyMap(const json& msg);
RouteOutcome onRotateHandoff(const json& msg);
RouteOutcome onRotateHandoffAck(const json& msg);
RouteOutcome onRotateStateReq(const json& msg);
RouteOutcome onRotateState(const json& msg);

}  // namespace brevant

#pragma once
// The backend's word on pairing, as it arrives on the WebSocket. Dispatch thread.
#include "net/Dispatcher.h"

namespace brevant {

// "paired_ok": the device is paired; safe mode ends.
RouteOutcome onPairedOk(const json& msg);
// "pair_required": the device is not paired; safe mode.
RouteOutcome onPairRequired(const json& msg);

}  // namespace brevant

#pragma once
// The backend's word on pairing, as it arrives on the WebSocket. Dispatch thread.
#include "net/Json.h"

namespace brevant {

// "paired_ok": the device is paired; safe mode ends.
void onPairedOk(const json& msg);
// "pair_required": the device is not paired; safe mode.
void onPairRequired(const json& msg);

}  // namespace brevant

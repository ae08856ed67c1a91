#include "pairing/PairingMessages.h"

#include "core/Globals.h"
#include "core/Log.h"
#include "pairing/PairingState.h"

namespace brevant {

void onPairedOk(const json&) {
    pairStatusKnown.exchange(true);
    paired.exchange(true);
    logLine("[BRV] Device paired to your Discord. Ready.");
}

void onPairRequired(const json&) {
    pairStatusKnown.exchange(true);
    paired.exchange(false);
    logLine("[BRV] Pair required. Use: /addpair deviceid:" + deviceId + " no Discord");
}

}  // namespace brevant

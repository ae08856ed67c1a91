#include "pairing/PairingMessages.h"

#include "core/Globals.h"
#include "core/Log.h"
#include "pairing/PairingState.h"

namespace brevant {

RouteOutcome onPairedOk(const json&) {
    notePairingMessage(true);
    logLine("[BRV] Device paired to your Discord. Ready.");
    return handled;
}

RouteOutcome onPairRequired(const json&) {
    notePairingMessage(false);
    logLine("[BRV] Pair required. Use: /addpair deviceid:" + deviceId + " no Discord");
    return handled;
}

}  // namespace brevant

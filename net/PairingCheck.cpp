#include "net/PairingCheck.h"

#include "net/HttpRequests.h"
#include "net/PairingState.h"
#include "plugin/GameThread.h"
#include "plugin/Globals.h"
#include "plugin/Log.h"
#include "plugin/Workers.h"

namespace brevant {
namespace {

// Queries and writes the flags: a failed query makes the status unknown and leaves `paired`.
bool queryAndStore(const std::string& id, bool& registered) {
    const bool ok = queryPairStatus(id, registered);
    pairStatusKnown.exchange(ok);
    if (ok)
        paired.exchange(registered);
    return ok;
}

}  // namespace

void startLoadTimePairCheck() {
    startWorker([id = deviceId] {
        bool registered = false;
        const bool ok = queryAndStore(id, registered);
        postToGame([ok, registered](GameWrapper* gw) { showPairStatusResult(gw, ok, registered); });
    });
}

void checkPairStatusAsync(const std::string& deviceIdCopy) {
    startWorker([id = deviceIdCopy] {
        bool registered = false;
        queryAndStore(id, registered);
    });
}

void showPairStatusResult(GameWrapper* gw, bool ok, bool registered) {
    if (!ok) {
        logLine("[BRV] Falha ao consultar /pair-status no load");
        return;
    }
    showToast(gw, registered ? "Pareado: seu Discord j\xE1 est\xE1 vinculado."
                             : "Nao registrado. Cole no Discord: /addpair deviceid:" + deviceId);
}

}  // namespace brevant

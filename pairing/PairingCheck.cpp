#include "pairing/PairingCheck.h"

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "core/Workers.h"
#include "net/HttpRequests.h"
#include "pairing/PairingState.h"

namespace brevant {
namespace {

// Queries and writes the flags, unless the backend said otherwise on the WebSocket meanwhile.
bool queryAndStore(const std::string& id, bool& registered, std::stop_token stop) {
    const std::uint64_t began = pairingQueryBegins();
    const bool ok = queryPairStatus(id, registered, std::move(stop));
    applyPairStatusAnswer(began, ok, registered);
    return ok;
}

}  // namespace

void startLoadTimePairCheck() {
    startWorker("brv-pairing", [id = deviceId](std::stop_token stop) {
        bool registered = false;
        const bool ok = queryAndStore(id, registered, stop);
        postToGame([ok, registered](GameWrapper* gw) { showPairStatusResult(gw, ok, registered); });
    });
}

void checkPairStatusAsync(const std::string& deviceIdCopy) {
    startWorker("brv-pairing", [id = deviceIdCopy](std::stop_token stop) {
        bool registered = false;
        queryAndStore(id, registered, stop);
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

#include "rotation/RotationMessages.h"

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "rotation/PrivateMatch.h"
#include "rotation/RotationEngine.h"
#include "rotation/RotationFile.h"
#include "rotation/RotationSync.h"

namespace brevant {
namespace {

// Another client handed us `map`: try it, and answer whether it was applied. Game thread.
void handleRotateHandoff(const std::string& server, const std::string& map, std::int32_t seq,
                         GameWrapper& gw) {
    syncFromCurrentMap(&gw, true);
    // A map name that is empty, or longer than any map code, is nothing to apply: the sender
    // hears that this client did not take it.
    const bool ok =
        usableMapCode(map) && applyMap(&gw, map, paired.load(), globalCvarManager.load());
    logLine(std::string("[BRV] tentar aplicar: ") + (ok ? "OK" : "NAO SOU HOST"));
    json ack{{"t", "rotate_handoff_ack"},
             {"server", server},
             {"ok", ok},
             {"by", deviceId},
             {"seq", seq}};
    if (ok)
        ack["map"] = map;
    sendToBackend(dumpJson(ack));
}

}  // namespace

void onCreatePrivate(const json& msg) {
    if (!paired.load()) {
        logLine("[BRV] seu device nao esta pareado");
        return;
    }
    createPrivateMatchOrder(msg);
}

void onJoinPrivate(const json& msg) {
    if (lobbyOwned.load()) {
        logLine("[BRV] join_private: ignorado (sou host).");
        return;
    }
    const std::string to = stringField(msg, "to", "");
    if (!to.empty() && to != deviceId) {
        logLine("[BRV] join_private: ignorado (destino=" + clippedForLog(to) + ")");
        return;
    }
    if (!paired.load()) {
        logLine("[BRV] Ignorando join_private: device nao pareado");
        return;
    }
    joinPrivateMatchOrder(matchName(msg), matchPassword(msg));
}

void onApplyMap(const json& msg) {
    const std::string map = stringField(msg, "map", "Stadium_P");
    if (!globalGameWrapper.load())
        return;
    if (!usableMapCode(map)) {
        // An empty name is no map, and no map code is longer: such a name never reaches the game.
        logLine("[BRV] apply_map ignorado: nome de mapa invalido (" + std::to_string(map.size()) +
                " bytes)");
        return;
    }
    // No pairing check here: applyMap says why an unpaired device does not apply it. Its result
    // is not used; an order that fails is not handed over.
    postToGame([map](GameWrapper* gw) {
        if (gw)
            applyMap(gw, map, paired.load(), globalCvarManager.load());
    });
}

void onRotateHandoff(const json& msg) {
    if (!paired.load()) {
        logLine("[BRV] Ignorando rotate_handoff: device nao pareado");
        return;
    }
    const std::string server = stringField(msg, "server", "");
    const std::string nextMap = stringField(msg, "nextMap", "");
    const std::int32_t seq = intField(msg, "seq", 0);
    const std::string current = serverNameNow();
    if (!nextMap.empty() && !server.empty() && !current.empty() && server != current)
        return;
    if (!server.empty() && server == current)
        nameSeriesMatch();  // a peer hands over a map of our match: it is the series' own
    postToGame([server, nextMap, seq](GameWrapper* gw) {
        if (gw)
            handleRotateHandoff(server, nextMap, seq, *gw);
    });
}

void onRotateHandoffAck(const json& msg) {
    if (!paired.load())
        return;
    if (!boolField(msg, "ok", false))
        return;
    const std::string server = stringField(msg, "server", "");
    const std::string map = stringField(msg, "map", "");
    const std::int32_t seq = intField(msg, "seq", 0);
    if (server != serverNameNow() || map.empty())
        return;
    // Only the answer to the latest hand-off ends it: a late answer to an older one would stop
    // the retries of a map nobody has taken yet.
    if (seq < 0 || static_cast<std::uint32_t>(seq) != handoffSeq.load())
        return;
    recordHandoffAnswer(static_cast<std::uint32_t>(seq));
    {
        std::lock_guard lk(hostingMutex);
        const auto& list = rotationState.rotation;
        const std::int32_t at = indexOfMap(list, map);
        if (at < 0)
            return;
        rotationState.lastMap = map;
        rotationState.nextIdx.store((at + 1) % static_cast<std::int32_t>(list.size()));
    }
    saveRotationState();
    logLine("[BRV] ACK(seq=" + std::to_string(seq) + ") -> lastMap=" + map);
}

void onRotateStateReq(const json& msg) {
    if (!paired.load())
        return;
    const std::string server = stringField(msg, "server", "");
    bool ours = false;
    bool wanted = false;
    {
        std::lock_guard lk(hostingMutex);
        ours = !server.empty() && server == currentServerName;
        wanted = ours && rotationState.enabled.load() && !rotationState.rotation.empty();
    }
    if (ours)
        nameSeriesMatch();  // a peer asks about our match: it is the series' own
    if (wanted)
        broadcastRotationState();
}

void onRotateState(const json& msg) {
    if (!paired.load())
        return;
    const std::string server = stringField(msg, "server", "");
    const std::string from = stringField(msg, "from", "");
    if (from == deviceId)
        return;  // our own broadcast, echoed back
    if (server.empty() || server != serverNameNow())
        return;
    nameSeriesMatch();  // a peer speaks of our match: it is the series' own
    if (applyRemoteRotationState(msg)) {
        saveRotationState();
        rotateStateRequested.store(false);
    }
}

}  // namespace brevant

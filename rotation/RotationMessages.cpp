#include "rotation/RotationMessages.h"

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "match/PrivateMatch.h"
#include "match/Series.h"
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

// Why a peer's word about the series is not for this client now; nullptr when it is. A series
// this client has ended stays ended, and a game outside private matches is in no series.
const char* peerMessageRefused() {
    if (seriesEnded())
        return "series ended";
    if (!gameInPrivateMatchLastSeen())
        return "not in a private match";
    return nullptr;
}

// A peer speaks of the series on file, which no order of this load began: it goes on, on the
// game thread, before whatever the message posts there.
void resumeIfNamed(const std::string& server) {
    if (seriesPhase() != SeriesPhase::None || server.empty() || server != serverNameNow())
        return;
    postToGame([server](GameWrapper* gw) {
        if (!gw || seriesPhase() != SeriesPhase::None || serverNameNow() != server)
            return;
        const bool inPrivate = isInPrivateMatch(gw);
        observeSeries(inPrivate);
        if (inPrivate)
            resumeSeries(server);
    });
}

// Another client handed us `map`: try it, and answer whether it was applied. Game thread. Only a
// client in the series, in a private match, takes it; any other says nothing.
void handleRotateHandoff(const std::string& server, const std::string& map, std::int32_t seq,
                         GameWrapper& gw) {
    if (!observeSeries(isInPrivateMatch(&gw)))
        return;
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

RouteOutcome onCreatePrivate(const json& msg) {
    if (!paired.load()) {
        logLine("[BRV] seu device nao esta pareado");
        return ignored("not paired");
    }
    createPrivateMatchOrder(msg);
    return handled;
}

RouteOutcome onJoinPrivate(const json& msg) {
    const std::string to = stringField(msg, "to", "");
    // The backend's explicit order to this device ends a hosting (on the game thread); any other
    // join is refused while hosting, first of all.
    const bool addressedHere = !to.empty() && to == deviceId;
    if (!addressedHere && hostingSeries()) {
        logLine("[BRV] join_private: ignorado (sou host).");
        return ignored("hosting");
    }
    if (!to.empty() && to != deviceId) {
        logLine("[BRV] join_private: ignorado (destino=" + clippedForLog(to) + ")");
        return ignored("another device");
    }
    if (!paired.load()) {
        logLine("[BRV] Ignorando join_private: device nao pareado");
        return ignored("not paired");
    }
    joinPrivateMatchOrder(matchName(msg), matchPassword(msg), addressedHere);
    return handled;
}

RouteOutcome onApplyMap(const json& msg) {
    const std::string map = stringField(msg, "map", "Stadium_P");
    if (!globalGameWrapper.load())
        return ignored("no game");
    if (!usableMapCode(map)) {
        // An empty name is no map, and no map code is longer: such a name never reaches the game.
        logLine("[BRV] apply_map ignorado: nome de mapa invalido (" + std::to_string(map.size()) +
                " bytes)");
        return ignored("invalid map name");
    }
    // No pairing check here: applyMap says why an unpaired device does not apply it. Its result
    // is not used; an order that fails is not handed over.
    postToGame([map](GameWrapper* gw) {
        if (gw)
            applyMap(gw, map, paired.load(), globalCvarManager.load());
    });
    return handled;
}

RouteOutcome onRotateHandoff(const json& msg) {
    if (!paired.load()) {
        logLine("[BRV] Ignorando rotate_handoff: device nao pareado");
        return ignored("not paired");
    }
    const std::string server = stringField(msg, "server", "");
    const std::string nextMap = stringField(msg, "nextMap", "");
    const std::int32_t seq = intField(msg, "seq", 0);
    const std::string current = serverNameNow();
    if (!nextMap.empty() && !server.empty() && !current.empty() && server != current)
        return ignored("another match");
    if (const char* why = peerMessageRefused())
        return ignored(why);
    resumeIfNamed(server);
    postToGame([server, nextMap, seq](GameWrapper* gw) {
        if (gw)
            handleRotateHandoff(server, nextMap, seq, *gw);
    });
    return handled;
}

RouteOutcome onRotateHandoffAck(const json& msg) {
    if (!paired.load())
        return ignored("not paired");
    if (!boolField(msg, "ok", false))
        return ignored("not taken");
    const std::string server = stringField(msg, "server", "");
    const std::string map = stringField(msg, "map", "");
    const std::int32_t seq = intField(msg, "seq", 0);
    if (server != serverNameNow())
        return ignored("another match");
    if (!seriesOn())
        return ignored("no series");
    if (map.empty())
        return ignored("no map");
    // Only the answer to the latest hand-off ends it: a late answer to an older one would stop
    // the retries of a map nobody has taken yet.
    if (seq < 0 || static_cast<std::uint32_t>(seq) != handoffSeq.load())
        return ignored("not the latest hand-off");
    recordHandoffAnswer(static_cast<std::uint32_t>(seq));
    {
        std::lock_guard lk(hostingMutex);
        const auto& list = rotationState.rotation;
        const std::int32_t at = indexOfMap(list, map);
        if (at < 0)
            return ignored("map not in the rotation");
        rotationState.lastMap = map;
        rotationState.nextIdx.store((at + 1) % static_cast<std::int32_t>(list.size()));
    }
    saveRotationState();
    logLine("[BRV] ACK(seq=" + std::to_string(seq) + ") -> lastMap=" + map);
    return handled;
}

RouteOutcome onRotateStateReq(const json& msg) {
    if (!paired.load())
        return ignored("not paired");
    const std::string server = stringField(msg, "server", "");
    bool ours = false;
    bool wanted = false;
    {
        std::lock_guard lk(hostingMutex);
        ours = !server.empty() && server == currentServerName;
        wanted = ours && rotationState.enabled.load() && !rotationState.rotation.empty();
    }
    if (!ours)
        return ignored("another match");
    if (const char* why = peerMessageRefused())
        return ignored(why);
    resumeIfNamed(server);
    if (!wanted)
        return ignored("no rotation");
    broadcastRotationState();
    return handled;
}

RouteOutcome onRotateState(const json& msg) {
    if (!paired.load())
        return ignored("not paired");
    const std::string server = stringField(msg, "server", "");
    const std::string from = stringField(msg, "from", "");
    if (from == deviceId)
        return ignored("our own");  // our own broadcast, echoed back
    if (server.empty() || server != serverNameNow())
        return ignored("another match");
    if (const char* why = peerMessageRefused())
        return ignored(why);
    resumeIfNamed(server);
    if (!applyRemoteRotationState(msg))
        return ignored("not newer");
    saveRotationState();
    rotateStateRequested.store(false);
    return handled;
}

}  // namespace brevant

#include "rotation/RotationMessages.h"

#include "core/Globals.h"
#include "core/Log.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/PrivateMatch.h"

namespace brevant {

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
        logLine("[BRV] join_private: ignorado (destino=" + to + ")");
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
    (void)map;
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
    (void)seq;
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
    (void)seq;
}

void onRotateStateReq(const json& msg) {
    if (!paired.load())
        return;
    const std::string server = stringField(msg, "server", "");
    bool wanted = false;
    {
        std::lock_guard lk(hostingMutex);
        wanted = !server.empty() && server == currentServerName && rotationState.enabled.load() &&
                 !rotationState.rotation.empty();
    }
    (void)wanted;
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
}

}  // namespace brevant

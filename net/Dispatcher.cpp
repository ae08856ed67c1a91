#include "net/Dispatcher.h"

#include <functional>
#include <string_view>

#include "net/BackendSession.h"
#include "net/Json.h"
#include "net/PairingState.h"
#include "plugin/Brevant.h"
#include "plugin/GameThread.h"
#include "plugin/Globals.h"
#include "plugin/Log.h"
#include "ranks/RankAck.h"
#include "rotation/HostingState.h"

namespace brevant {
namespace {

// The names a match can be given by, and its password, as the orders carry them.
std::string roomName(const json& msg) {
    return firstNonEmptyString(msg, {"serverName", "server", "room", "name"}, "Scrim");
}
std::string roomPassword(const json& msg) {
    return firstNonEmptyString(msg, {"password", "pass", "pwd"}, "vandrel");
}

void onCreatePrivate(const json& msg) {
    if (!paired.load()) {
        logLine("[BRV] seu device nao esta pareado");
        return;
    }
    const std::string server = roomName(msg);
    const std::string password = roomPassword(msg);
    const std::int32_t maxPlayers = intField(msg, "maxPlayers", 6);
    const std::int32_t bestOf = intField(msg, "bestOf", 5);
    const std::string region = stringField(msg, "region", "SAM");
    const bool rotate = boolField(msg, "rotate", true);
    (void)server, (void)password, (void)maxPlayers, (void)bestOf, (void)region, (void)rotate;
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
    const std::string room = roomName(msg);
    const std::string password = roomPassword(msg);
    (void)room, (void)password;
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

void onRankAck(const json& msg) {
    const std::string status = stringField(msg, "status", "ok");
    const std::string note = stringField(msg, "note", "");
    postToGame([status, note](GameWrapper* gw) { showRankAck(gw, status, note); });
}

void onPing(const json&) {
    if (backendClientExists())
        sendToBackend(R"({"t":"pong"})");
}

struct Route {
    std::string_view type;
    void (*handle)(const json&);
};

// Matching order; the first row whose type equals the message's (exactly) handles it.
constexpr Route catalogue[] = {
    {"create_private", onCreatePrivate},
    {"create", onCreatePrivate},
    {"create_private_match", onCreatePrivate},
    {"join_private", onJoinPrivate},
    {"apply_map", onApplyMap},
    {"set_map", onApplyMap},
    {"rotate_handoff", onRotateHandoff},
    {"rotate_handoff_ack", onRotateHandoffAck},
    {"rotate_state_req", onRotateStateReq},
    {"rotate_state", onRotateState},
    {"paired_ok", onPairedOk},
    {"pair_required", onPairRequired},
    {"rank_ack", onRankAck},
    {"ping", onPing},
};

}  // namespace

void dispatchMessage(Brevant& /*plugin*/, const std::string& text) {
    try {
        const json msg = json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!msg.is_object())
            return;  // not JSON at all (discarded), or not an object
        const std::string type = stringField(msg, "t", "");
        for (const auto& route : catalogue) {
            if (route.type == type) {
                route.handle(msg);
                return;
            }
        }
    } catch (...) {
        // A field of the wrong type: the message is dropped like one that does not parse.
    }
}

}  // namespace brevant

#include "rotation/RotationSync.h"

#include <algorithm>
#include <vector>

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "match/PrivateMatch.h"
#include "match/Series.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "platform/Clock.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "sdk/GameWrapper.h"

namespace brevant {

std::atomic<std::uint32_t> handoffSeq{0};
std::atomic<std::int32_t> handoffSends{0};
std::atomic<std::uint32_t> handoffAnsweredSeq{0};
std::string pendingHandoffMap;

namespace {

// Steady-clock milliseconds of the last state request; none since the match began.
constexpr std::int64_t neverAsked = INT64_MIN;
std::atomic<std::int64_t> lastStateRequestMs{neverAsked};

json buildRotateStateLocked() {
    return json{
        {"t", "rotate_state"},
        {"server", currentServerName},
        {"enabled", rotationState.enabled.load()},
        {"rotation", rotationState.rotation},
        {"nextIdx", rotationState.nextIdx.load()},
        {"lastMap", rotationState.lastMap},
        {"maxPlayers", rotationState.settings.MaxPlayerCount},
        {"region", rotationState.region},
        {"rev", rotationState.rev.load()},
        {"ts", rotationState.ts.load()},
    };
}

}  // namespace

void resetHandoffState() {
    handoffSeq.store(0);
    handoffSends.store(0);
    handoffAnsweredSeq.store(0);
    forgetStateRequests();
    std::lock_guard lk(hostingMutex);
    pendingHandoffMap.clear();
}

bool handoffAnswered(std::uint32_t seq) {
    return handoffAnsweredSeq.load() >= seq;
}

void recordHandoffAnswer(std::uint32_t seq) {
    // Numbers only grow: a late answer to an older hand-off never takes back a newer one's.
    auto answered = handoffAnsweredSeq.load();
    while (answered < seq && !handoffAnsweredSeq.compare_exchange_weak(answered, seq)) {
    }
}

void endHandoff() {
    recordHandoffAnswer(handoffSeq.load());
}

void forgetStateRequests() {
    lastStateRequestMs.store(neverAsked);
}

json buildRotateState() {
    std::lock_guard lk(hostingMutex);
    return buildRotateStateLocked();
}

void broadcastRotationState() {
    if (!paired.load())
        return;
    json state;
    {
        std::lock_guard lk(hostingMutex);
        if (currentServerName.empty())
            return;
        state = buildRotateStateLocked();
    }
    state["from"] = deviceId;
    const std::string rev = std::to_string(state["rev"].get<std::uint32_t>());
    const SendOutcome sent = sendToBackend(dumpJson(state));
    if (sent == SendOutcome::Sent)
        logLine("[BRV] rotate_state broadcast (rev=" + rev + ")");
    else
        logLine("[BRV] rotate_state nao enviado (rev=" + rev + "): " + notSentReason(sent));
}

void requestRotationState() {
    if (!paired.load())
        return;
    const std::string server = serverNameNow();
    if (server.empty())
        return;
    lastStateRequestMs.store(platform::steadyMillis());
    const SendOutcome sent = sendToBackend(
        dumpJson(json{{"t", "rotate_state_req"}, {"server", server}, {"from", deviceId}}));
    if (sent != SendOutcome::Sent) {
        logLine(std::string("[BRV] rotate_state_req nao enviado: ") + notSentReason(sent));
        return;
    }
    rotateStateRequested.store(true);
    logLine("[BRV] rotate_state_req enviado");
}

void requestRotationStateIfMissing(GameWrapper* gw) {
    try {
        if (!gw || !observeSeries(onlineGameIsPrivate(*gw)))
            return;
        {
            std::lock_guard lk(hostingMutex);
            if (!rotationState.rotation.empty())
                return;
        }
        const std::int64_t last = lastStateRequestMs.load();
        if (last != neverAsked && platform::steadyMillis() - last < stateRequestIntervalMs)
            return;
        requestRotationState();
    } catch (...) {
        // The game could not say where the player is; the next check asks again.
    }
}

void requestRotationStateOnOpen() {
    if (paired.load() && seriesOn())
        requestRotationState();
}

void sendRotateHandoff(std::uint32_t seq, const std::string& map) {
    if (!paired.load())
        return;
    json handoff{
        {"t", "rotate_handoff"}, {"nextMap", map},    {"from", deviceId},
        {"scope", "all"},        {"broadcast", true}, {"seq", seq},
    };
    {
        std::lock_guard lk(hostingMutex);
        handoff["server"] = currentServerName;
        handoff["lastMap"] = rotationState.lastMap;
        handoff["maxPlayers"] = rotationState.settings.MaxPlayerCount;
        handoff["region"] = rotationState.region;
    }
    const SendOutcome sent = sendToBackend(dumpJson(handoff));
    const std::string what = "(seq=" + std::to_string(seq) + ", next=" + map + ")";
    if (sent == SendOutcome::Sent)
        logLine("[BRV] handoff enviado " + what);
    else
        logLine("[BRV] handoff nao enviado " + what + ": " + notSentReason(sent));
}

void scheduleHandoffRetry(std::uint32_t seq) {
    const auto gw = globalGameWrapper.load();
    if (!gw)
        return;
    armTimer(*gw, handoffRetrySeconds, "timer handoff retry", [seq](GameWrapper&) {
        if (!paired.load() || !seriesOn() || handoffAnswered(seq) ||
            handoffSends.load() >= handoffMaxSends)
            return;
        // A newer hand-off has its own chain; this one would resend the new map under the old
        // number and eat into the new chain's count.
        if (seq != handoffSeq.load())
            return;
        std::string map;
        {
            std::lock_guard lk(hostingMutex);
            map = pendingHandoffMap;
        }
        sendRotateHandoff(seq, map);
        handoffSends.fetch_add(1);
        scheduleHandoffRetry(seq);
    });
}

bool applyRemoteRotationState(const json& msg) {
    const std::string server = stringField(msg, "server", "");
    {
        std::lock_guard lk(hostingMutex);
        if (!currentServerName.empty() && currentServerName != server)
            return false;
    }
    auto rotation = msg.value("rotation", json::array()).get<std::vector<std::string>>();
    const std::int32_t nextIdx = intField(msg, "nextIdx", 0);
    const std::string lastMap = stringField(msg, "lastMap", "");
    const std::int32_t maxPlayers = intField(msg, "maxPlayers", 6);
    const std::int32_t region = intField(msg, "region", 9);
    const std::uint32_t rev = uintField(msg, "rev", 1);
    const std::int64_t ts = int64Field(msg, "ts", 0);
    if (!usableRotation(rotation) || !usableRevision(rev))
        return false;

    std::lock_guard lk(hostingMutex);
    // A client without a rotation takes its match's whatever the revision: an old host's own
    // revision grew with every apply and would otherwise refuse the new host's state for good.
    const bool ownEmpty = rotationState.rotation.empty();
    const std::uint32_t ownRev = rotationState.rev.load();
    const bool newer = rev > ownRev || (rev == ownRev && ts > rotationState.ts.load());
    if (!newer && !ownEmpty)
        return false;
    rotationState.rotation = std::move(rotation);
    rotationState.nextIdx.store(nextIdx);
    rotationState.lastMap = lastMap;
    rotationState.settings.MaxPlayerCount = std::clamp(maxPlayers, 2, 8);
    rotationState.region = region;
    rotationState.rev.store(rev);
    rotationState.ts.store(ts);
    return true;
}

}  // namespace brevant

#include "rotation/PrivateMatch.h"

#include <algorithm>

#include "core/FieldCount.h"
#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "match/MatchIdentity.h"
#include "match/PrivateMatch.h"
#include "match/Series.h"
#include "net/BackendSession.h"
#include "platform/Clock.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "rotation/RotationFile.h"
#include "rotation/RotationSync.h"
#include "sdk/GameWrapper.h"

namespace brevant {

std::atomic<std::int32_t> autoSaveLogCount{0};

namespace {

constexpr std::int32_t regionOfEveryMatch = 9;
constexpr int privateMatchPlaylist = 6;

void answerCreate(bool ok) {
    sendToBackend(ok ? R"({"t":"create_ack","ok":true})" : R"({"t":"create_ack","ok":false})");
}

// A create order's fresh start, before the creation is posted: the settings are kept, the match
// name becomes `room`, and the rotation is off and empty until the match exists.
void resetRotationForNewLobby(const std::string& room, const CustomMatchSettings& settings);
void resetRotationForNewLobby(const std::string& room, const CustomMatchSettings& settings) {
    {
        std::lock_guard lk(hostingMutex);
        // Kept: the file's path, the region, rev and ts.
        // A member added to RotationState fails here until this reset decides about it.
        static_assert(fieldCount<RotationState>() == 9, "decide about the new member here");
        rotationState.settings = settings;
        currentServerName = room;
        rotationState.enabled.store(false);
        rotationState.rotation.clear();
        rotationState.nextIdx.store(0);
        rotationState.lastMap.clear();
    }
    rotateStateRequested.store(false);
    forgetStateRequests();
    endHandoff();
}

// A join's fresh start: the match name becomes `room` and the rotation goes back to its initial
// values (off, empty, nextIdx 0, no lastMap, rev 1, ts 0; the settings stay), so that the joiner
// asks for the new match's rotation and never plays or hands over the maps of the series it was
// in before.
void resetRotationForJoin(const std::string& room);
void resetRotationForJoin(const std::string& room) {
    {
        std::lock_guard lk(hostingMutex);
        // Kept: the file's path, the settings and the region. A member added to RotationState
        // fails here until this reset decides about it.
        static_assert(fieldCount<RotationState>() == 9, "decide about the new member here");
        const RotationState initial{};
        currentServerName = room;
        rotationState.enabled.store(initial.enabled.load());
        rotationState.rotation.clear();
        rotationState.nextIdx.store(initial.nextIdx.load());
        rotationState.lastMap.clear();
        rotationState.rev.store(initial.rev.load());
        rotationState.ts.store(initial.ts.load());
    }
    rotateStateRequested.store(false);
    forgetStateRequests();
    endHandoff();
}

// The series starts: its map list, the map the match was created with, then the file, the log
// line and the broadcast. Game thread, right after a successful creation.
void activateRotation(const std::vector<std::string>& list, const std::string& firstMap,
                      std::int32_t bestOf) {
    {
        std::lock_guard lk(hostingMutex);
        rotationState.rotation = list;
        rotationState.lastMap = firstMap;
        if (rotationState.rotation.empty())
            rotationState.nextIdx.store(0);
        else
            advanceAfterLocked(firstMap);
        rotationState.enabled.store(true);
        rotationState.rev.fetch_add(1);
        rotationState.ts.store(platform::steadyMillis());
    }
    saveRotationState();
    const char* series = bestOf == 7 ? "MD7" : bestOf == 3 ? "MD3" : "MD5";
    logLine(std::string("[BRV] Rotacao ativa: ") + series + " | inicio=" + firstMap);
    broadcastRotationState();
}

}  // namespace

std::string matchName(const json& msg) {
    return firstNonEmptyString(msg, {"serverName", "server", "room", "name"}, "Scrim");
}

std::string matchPassword(const json& msg) {
    return firstNonEmptyString(msg, {"password", "pass", "pwd"}, "vandrel");
}

PrivateMatchOrder readPrivateMatchOrder(const json& msg, std::string& serverName) {
    serverName = matchName(msg);
    const std::string password = matchPassword(msg);
    const std::int32_t maxPlayers = std::clamp(intField(msg, "maxPlayers", 6), 2, 8);
    std::int32_t bestOf = intField(msg, "bestOf", 5);
    if (bestOf != 3 && bestOf != 5 && bestOf != 7)
        bestOf = 5;
    const std::string tags =
        std::to_string(bestOf) + "Games,BotsNone,PlayerCount" + std::to_string(maxPlayers);
    (void)stringField(msg, "region", "SAM");  // read, but every match is made in region 9
    PrivateMatchOrder order;
    order.rotate = boolField(msg, "rotate", true);
    order.bestOf = bestOf;
    order.mapList = bestOf == 7 ? &rotationMapsMd7 : &rotationMapsMd5;
    order.settings.GameTags = tags;
    order.settings.MapName = order.mapList->empty() ? "Stadium_P" : order.mapList->front();
    order.settings.ServerName = serverName;
    order.settings.Password = password;
    order.settings.MaxPlayerCount = maxPlayers;
    return order;
}

void createPrivateMatchOrder(const json& msg) {
    std::string serverName;
    PrivateMatchOrder order = readPrivateMatchOrder(msg, serverName);
    // Everything the order changes happens on the game thread, in the order the orders came: a
    // join that arrives while this creation is still posted is handled after it.
    postToGame([order = std::move(order), serverName](GameWrapper* gw) {
        if (!gw)
            return;
        {
            std::lock_guard lk(hostingMutex);
            rotationState.region = regionOfEveryMatch;
        }
        resetRotationForNewLobby(serverName, order.settings);
        hostPrivateMatch(order, *gw);
    });
}

void hostPrivateMatch(const PrivateMatchOrder& order, GameWrapper& gw) {
    MatchmakingWrapper mm = gw.GetMatchmakingWrapper();
    if (mm.IsNull()) {
        resetSeries();  // the last series' state is gone, and no new one began
        logLine("[BRV] MM null");
        return;
    }
    bool created = false;
    try {
        std::int32_t region = regionOfEveryMatch;
        {
            std::lock_guard lk(hostingMutex);
            region = rotationState.region;
        }
        mm.CreatePrivateMatch(region, privateMatchPlaylist, order.settings);
        created = true;
        beginHostingSeries();
        observeSeries(isInPrivateMatch(&gw));
        logLine("[BRV] Lobby OWNED pelo bot");
        armReplayAutoSave(gw, {0.6f, 1.0f, 1.6f, 2.2f, 3.0f});
        answerCreate(true);
        if (!order.rotate)
            return;
        activateRotation(*order.mapList, order.settings.MapName, order.bestOf);
    } catch (...) {
        if (!created)
            resetSeries();
        answerCreate(false);
    }
}

void joinPrivateMatchOrder(const std::string& room, const std::string& password,
                           bool addressedHere) {
    // On the game thread, after any creation posted before it: the hosting guard sees the match
    // that creation made, and the state ends up describing the match the game joins.
    postToGame([room, password, addressedHere](GameWrapper* gw) {
        if (!gw)
            return;
        if (hostingSeries()) {
            if (!addressedHere) {
                logLine("[BRV] join_private: ignorado (sou host).");
                return;
            }
            endSeries("join_private para este device");
        }
        resetRotationForJoin(room);
        beginJoinedSeries();
        logLine("[BRV] join_private -> sala='" + clippedForLog(room) + "' pass='" +
                clippedForLog(password) + "'");
        scheduleJoinPrivateMatch(room, password, *gw);
    });
}

void scheduleJoinPrivateMatch(const std::string& room, const std::string& password,
                              GameWrapper& gw) {
    if (gw.GetMatchmakingWrapper().IsNull())
        return;
    for (float delay : {0.0f, 0.6f, 1.2f, 1.8f}) {
        armTimer(gw, delay, "timer join", [room, password](GameWrapper& game) {
            joinPrivateMatchNow(room, password, game);
        });
    }
    armReplayAutoSave(gw, {0.8f, 1.4f, 2.0f, 3.0f});
    armTimer(gw, 1.0f, "timer rotation state check",
             [](GameWrapper& game) { requestRotationStateIfMissing(&game); });
}

void joinPrivateMatchNow(const std::string& room, const std::string& password, GameWrapper& gw) {
    try {
        MatchmakingWrapper mm = gw.GetMatchmakingWrapper();
        if (!mm.IsNull())
            mm.JoinPrivateMatch(room, password);
    } catch (...) {
        // An attempt that fails is not reported; the next one runs anyway.
    }
}

void enableReplayAutoSave(GameWrapper& gw) {
    try {
        ServerWrapper game = gw.GetCurrentGameState();
        if (game.IsNull())
            game = gw.GetOnlineGame();
        if (game.IsNull())
            return;
        ReplayDirectorWrapper director = game.GetReplayDirector();
        if (director.IsNull())
            return;
        director.SetbAutoSave(true);
        if (globalCvarManager.load() && autoSaveLogCount.fetch_add(1) % 5 == 0)
            logLine("[BRV] Auto-save de replays ligado.");
    } catch (...) {
        // The game refused; the next timer tries again.
    }
}

void armReplayAutoSave(GameWrapper& gw, std::initializer_list<float> delays) {
    for (float delay : delays)
        armTimer(gw, delay, "timer replay auto-save",
                 [](GameWrapper& game) { enableReplayAutoSave(game); });
}

}  // namespace brevant

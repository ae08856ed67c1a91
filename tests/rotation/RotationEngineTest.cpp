// The rotation engine on the manual clock: which map goes into the match next, the lobby timers,
// the watchdog's throttle, and the hand-off when the game will not take the map.
#include <fstream>

#include "core/Guard.h"
#include "match/PrivateMatch.h"
#include "platform/Clock.h"
#include "rotation/RotationEngine.h"
#include "tests/rotation/RotationFixture.h"

namespace {

using Engine = testing_support::RotationFixture;
using brevant::rotationState;

TEST_F(Engine, TheNextMapFollowsLastMapOrFallsBackToNextIdxAndTheGamesSpellingWins) {
    struct Case {
        const char* lastMap;
        std::int32_t nextIdx;
        const char* gameMap;
        const char* applied;
        const char* syncLog;  // empty: lastMap stays as it was
    };
    const Case cases[] = {
        {"cs_p", 2, "cs_p", "EuroStadium_Night_P", ""},         // the last map: wraps to the first
        {"Nowhere_P", 7, "Labs_P", "EuroStadium_Night_P", ""},  // neither known: position 0
        {"CS_P", 1, "cs_p", "EuroStadium_Night_P", "lastApplied=cs_p -> nextIdx=0"},
        {"Stadium_P", 0, "Stadium_P", "UtopiaStadium_Dusk_P", ""},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard lk(brevant::hostingMutex);
            rotationState.lastMap = c.lastMap;
            rotationState.nextIdx = c.nextIdx;
        }
        host.game().currentMap = c.gameMap;
        const auto rev = rotationState.rev.load();
        const auto logsBefore = host.logs().size();
        brevant::applyNextMap(gw());
        ASSERT_FALSE(updates().empty()) << c.lastMap;
        EXPECT_EQ(updates().back(), c.applied) << c.lastMap;
        EXPECT_EQ(lastMap(), c.applied);
        EXPECT_EQ(rotationState.settings.MapName, c.applied);
        EXPECT_EQ(rotationState.rev.load(), rev + 1);
        std::vector<std::string> expected;
        if (*c.syncLog)
            expected.push_back(std::string("[BRV] syncFromCurrentMap: ") + c.syncLog);
        expected.push_back(std::string("[BRV] UpdatePrivateMatch -> next=") + c.applied);
        const auto all = host.logs();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(logsBefore), all.end()),
                  expected)
            << c.lastMap;
    }
    // The game's spelling was saved when the sync took it over; the apply itself saves nothing.
    const std::string file = host.rotationFile();
    EXPECT_NE(file.find(R"("lastMap":"cs_p")"), std::string::npos) << file;
}

TEST_F(Engine, AMatchTheGameWillNotUpdateChangesNothingAndHandsTheMapOver) {
    struct Case {
        bool matchmaking;
        sdk::CallBehaviour update;
        const char* log;
    };
    const Case cases[] = {
        {false, sdk::CallBehaviour::Succeed, "[BRV] MatchmakingWrapper null"},
        {true, sdk::CallBehaviour::Refuse, "[BRV] error applying map"},
        {true, sdk::CallBehaviour::Throw, "[BRV] error applying map"},
    };
    std::uint32_t seq = 0;
    for (const auto& c : cases) {
        host.game().matchmaking.present = c.matchmaking;
        host.game().matchmaking.update = c.update;
        brevant::applyNextMap(gw());
        ++seq;
        EXPECT_TRUE(host.hasLog(c.log));
        EXPECT_EQ(lastMap(), "Stadium_P");
        EXPECT_EQ(rotationState.nextIdx.load(), 3);
        EXPECT_EQ(rotationState.rev.load(), 1u);
        EXPECT_EQ(rotationState.settings.MapName, "");
        const auto handoffs = received("rotate_handoff");
        ASSERT_EQ(handoffs.size(), seq) << c.log;
        EXPECT_EQ(
            handoffs.back(),
            R"({"broadcast":true,"from":")" + brevant::deviceId +
                R"(","lastMap":"Stadium_P","maxPlayers":8,"nextMap":"UtopiaStadium_Dusk_P","region":9,"scope":"all","seq":)" +
                std::to_string(seq) + R"(,"server":"Sala","t":"rotate_handoff"})");
    }
}

TEST_F(Engine, TheWatchdogAppliesAtMostEvery1500Milliseconds) {
    host.advance(0.7);  // t = 1.0 s: the first tick while paired, too soon after the start
    EXPECT_TRUE(updates().empty());
    host.advance(1.0);  // 2.0 s
    EXPECT_EQ(updates(), std::vector<std::string>{"UtopiaStadium_Dusk_P"});
    host.advance(1.0);  // 3.0 s: the game is still on Stadium_P, and lastMap follows it back
    EXPECT_EQ(updates().size(), 1u);
    EXPECT_EQ(lastMap(), "Stadium_P");
    EXPECT_EQ(host.countLog("[BRV] syncFromCurrentMap: lastApplied=Stadium_P -> nextIdx=3"), 0);
    host.advance(1.0);  // 4.0 s
    EXPECT_EQ(updates(),
              (std::vector<std::string>{"UtopiaStadium_Dusk_P", "UtopiaStadium_Dusk_P"}));
    EXPECT_EQ(rotationState.rev.load(), 3u);

    // The limit itself, to the millisecond: the ticks above fall on whole seconds, where any
    // limit from 1001 to 2000 ms looks the same.
    const auto now = platform::steadyMillis();
    brevant::lastWatchdogApplyMs = now - 1499;
    brevant::rotationWatchdogStep(gw());
    EXPECT_EQ(updates().size(), 2u);
    brevant::lastWatchdogApplyMs = now - 1500;
    brevant::rotationWatchdogStep(gw());
    EXPECT_EQ(updates().size(), 3u);

    // Unpaired, the watchdog neither applies nor says anything.
    brevant::paired = false;
    const auto logs = host.logs().size();
    host.advance(5.0);
    EXPECT_EQ(updates().size(), 3u);
    EXPECT_EQ(host.logs().size(), logs);
}

TEST_F(Engine, ThePostGameLobbyArmsTheRotationOnlyWhenItIsOn) {
    const auto idle = host.rt().pendingTimers();  // the watchdog's
    rotationState.enabled = false;
    host.rt().fireEvent("Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted");
    EXPECT_EQ(host.rt().pendingTimers(), idle + 4 + 1);  // replay auto-save, game result
    EXPECT_FALSE(host.hasLog("[BRV] post-game lobby (READY) -> aplicando troca"));
    host.advance(2.0);

    // On, but unpaired: each of the eight timers says the rotation is blocked; the watchdog is
    // quiet; the broadcast needs pairing too.
    rotationState.enabled = true;
    brevant::paired = false;
    host.rt().fireEvent("Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted");
    EXPECT_EQ(host.rt().pendingTimers(), idle + 4 + 1 + 8 + 1);
    EXPECT_TRUE(host.hasLog("[BRV] post-game lobby (READY) -> aplicando troca"));
    host.advance(8.0);
    EXPECT_EQ(host.countLog("[BRV] rotate: BLOQUEADO"), 8);
    EXPECT_TRUE(updates().empty());
    EXPECT_TRUE(received("rotate_state").empty());

    // Paired: the broadcast goes out at 0.25 s and the timers apply.
    brevant::paired = true;
    host.rt().fireEvent("Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted");
    host.advance(0.3);
    EXPECT_EQ(received("rotate_state").size(), 1u);
    EXPECT_EQ(updates(), std::vector<std::string>{"UtopiaStadium_Dusk_P"});
}

TEST_F(Engine, TheWatchdogEndsWhenTheGameHandleIsEmptied) {
    host.advance(1.0);
    EXPECT_EQ(host.rt().pendingTimers(), 1u);
    host.unload();
    host.advance(1.0);
    EXPECT_EQ(host.rt().pendingTimers(), 0u);
}

TEST_F(Engine, APrivateMatchIsTheCurrentGamesOrElseTheOnlineGames) {
    struct Case {
        bool current, currentPlaylist, currentPrivate, online, onlinePrivate;
        bool inPrivate, onlinePrivateOnly;
    };
    const Case cases[] = {
        {true, true, true, false, false, true, false},
        {true, false, true, true, true, true, true},  // no playlist: the online game decides
        {true, true, false, true, false, false, false},
        {false, false, false, true, true, true, true},
        {false, false, false, false, false, false, false},
    };
    for (const auto& c : cases) {
        auto& game = host.game();
        game.currentGameState.reset();
        game.onlineGame.reset();
        if (c.current) {
            game.currentGameState = std::make_shared<sdk::GameStateModel>();
            game.currentGameState->hasPlaylist = c.currentPlaylist;
            game.currentGameState->privateMatch = c.currentPrivate;
        }
        if (c.online) {
            game.onlineGame = std::make_shared<sdk::GameStateModel>();
            game.onlineGame->privateMatch = c.onlinePrivate;
        }
        EXPECT_EQ(brevant::isInPrivateMatch(&gw()), c.inPrivate);
        EXPECT_EQ(brevant::onlineGameIsPrivate(gw()), c.onlinePrivateOnly);
    }
    EXPECT_FALSE(brevant::isInPrivateMatch(nullptr));
}

}  // namespace

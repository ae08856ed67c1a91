// Create and join orders from a backend on loopback, through the plugin in the stand-in host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/PrivateMatch.h"
#include "tests/support/ConnectedPlugin.h"

namespace {

class PrivateMatch : public testing_support::ConnectedPlugin {
protected:
    // Steps the clock 50 ms at a time for `seconds`, calling `at` with the time since the start
    // before each step; answers the times (since the start, to the step) at which each counter
    // grew, once per unit.
    std::vector<std::vector<double>> timesOf(std::vector<std::function<std::size_t()>> counters,
                                             double seconds,
                                             const std::function<void(double)>& at = {}) {
        std::vector<std::vector<double>> times(counters.size());
        std::vector<std::size_t> seen;
        for (auto& c : counters)
            seen.push_back(c());
        for (int step = 1; step * 0.05 <= seconds + 1e-9; ++step) {
            if (at)
                at((step - 1) * 0.05);
            host.advance(0.05);
            for (std::size_t i = 0; i < counters.size(); ++i)
                for (const auto now = counters[i](); seen[i] < now; ++seen[i])
                    times[i].push_back(std::round(step * 0.05 * 100) / 100);
        }
        return times;
    }
    std::size_t stateRequests() { return received("rotate_state_req").size(); }
    void order(const std::string& text) { fromBackend(text); }
    std::vector<std::string> acks() const {
        std::vector<std::string> out;
        for (const auto& m : server.messages())
            if (m.find("create_ack") != std::string::npos)
                out.push_back(m);
        return out;
    }
};

TEST_F(PrivateMatch, ADefaultOrderCreatesTheMatchAnswersAndStartsTheRotation) {
    order(R"({"t":"create"})");
    const auto& created = host.game().matchmaking.creations;
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].region, 9);
    EXPECT_EQ(created[0].playlist, 6);
    const auto& s = created[0].settings;
    EXPECT_EQ(s.ServerName, "Scrim");
    EXPECT_EQ(s.Password, "vandrel");
    EXPECT_EQ(s.GameTags, "5Games,BotsNone,PlayerCount6");
    EXPECT_EQ(s.MapName, "EuroStadium_Night_P");
    EXPECT_EQ(s.MaxPlayerCount, 6);
    EXPECT_TRUE(brevant::lobbyOwned.load());
    EXPECT_TRUE(host.hasLog("[BRV] Lobby OWNED pelo bot"));
    EXPECT_TRUE(host.hasLog("[BRV] Rotacao ativa: MD5 | inicio=EuroStadium_Night_P"));
    EXPECT_TRUE(brevant::rotationState.enabled.load());
    EXPECT_EQ(brevant::rotationState.nextIdx.load(), 1);
    EXPECT_EQ(brevant::rotationState.rev.load(), 2u);
    ASSERT_TRUE(host.pumpUntil([&] { return acks().size() == 1; }));
    EXPECT_EQ(acks(), std::vector<std::string>{R"({"t":"create_ack","ok":true})"});
    // The file has the new series; the auto-save timers switch the replays on.
    EXPECT_NE(host.rotationFile().find(R"("server":"Scrim")"), std::string::npos);
    host.advance(3.0);
    EXPECT_FALSE(host.game().onlineGame->autoSaveCalls.empty());
    EXPECT_EQ(host.countLog("[BRV] Auto-save de replays ligado."), 1);
}

TEST_F(PrivateMatch, OrdersAreClampedAndMappedToTheirSeries) {
    struct Case {
        const char* order;
        const char* name;
        const char* tags;
        const char* log;
    };
    const Case cases[] = {
        {R"({"t":"create_private","room":"  ","name":"  Final A ","maxPlayers":1,"bestOf":4,"region":"EU"})",
         "Final A", "5Games,BotsNone,PlayerCount2", "MD5 | inicio=EuroStadium_Night_P"},
        {R"({"t":"create_private_match","serverName":"B","maxPlayers":12,"bestOf":3})", "B",
         "3Games,BotsNone,PlayerCount8", "MD3 | inicio=EuroStadium_Night_P"},
        {R"({"t":"create","server":"C","bestOf":7,"maxPlayers":4})", "C",
         "7Games,BotsNone,PlayerCount4", "MD7 | inicio=EuroStadium_Night_P"},
    };
    for (const auto& c : cases) {
        order(c.order);
        const auto& s = host.game().matchmaking.creations.back();
        EXPECT_EQ(s.region, 9) << c.order;
        EXPECT_EQ(s.settings.ServerName, c.name);
        EXPECT_EQ(s.settings.GameTags, c.tags);
        EXPECT_TRUE(host.hasLog(std::string("[BRV] Rotacao ativa: ") + c.log)) << c.order;
    }
    EXPECT_EQ(brevant::rotationState.rotation.size(), 7u);  // the best of 7's list

    order(R"({"t":"create","server":"D","rotate":false})");
    EXPECT_FALSE(brevant::rotationState.enabled.load());
    EXPECT_TRUE(brevant::rotationState.rotation.empty());
    EXPECT_EQ(brevant::serverNameNow(), "D");
    EXPECT_TRUE(host.pumpUntil([&] { return acks().size() == 4; }));
}

TEST_F(PrivateMatch, AFailedCreationAnswersFalseOnceAndNoMatchmakingAnswersNothing) {
    host.game().matchmaking.create = sdk::CallBehaviour::Throw;
    order(R"({"t":"create","server":"E"})");
    ASSERT_TRUE(host.pumpUntil([&] { return acks().size() == 1; }));
    EXPECT_EQ(acks(), std::vector<std::string>{R"({"t":"create_ack","ok":false})"});
    EXPECT_FALSE(host.hasLog("[BRV] Lobby OWNED pelo bot"));
    EXPECT_FALSE(brevant::lobbyOwned.load());
    EXPECT_EQ(host.rt().pendingTimers(), 1u);  // the rotation watchdog's only

    host.game().matchmaking.present = false;
    order(R"({"t":"create","server":"F"})");
    EXPECT_TRUE(host.hasLog("[BRV] MM null"));
    EXPECT_EQ(brevant::serverNameNow(), "F");
    brevant::sendToBackend("{}");  // a marker: no answer went out before it
    ASSERT_TRUE(host.pumpUntil([&] { return server.messages().back() == "{}"; }));
    EXPECT_EQ(acks().size(), 1u);
}

TEST_F(PrivateMatch, AJoinArmsNineTimersAndGivesUpHosting) {
    // The last series' game whose replay is still being written keeps it: the join takes
    // nothing from it.
    brevant::noteReplayComing(true, "Antes");
    order(R"({"t":"join_private","server":"Sala","password":"x"})");
    EXPECT_TRUE(host.hasLog("[BRV] join_private -> sala='Sala' pass='x'"));
    EXPECT_EQ(brevant::serverNameNow(), "Sala");
    EXPECT_TRUE(brevant::nextReplayOwned());
    EXPECT_EQ(host.rt().pendingTimers(), 9u + 1u);  // and the rotation watchdog's
    host.advance(0.0);                              // the first attempt is due at once
    ASSERT_EQ(host.game().matchmaking.joins.size(), 1u);
    EXPECT_EQ(host.game().matchmaking.joins[0].name, "Sala");
    host.advance(2.0);
    EXPECT_EQ(host.game().matchmaking.joins.size(), 4u);

    // A join addressed to this device ends the hosting and joins.
    brevant::beginHostingSeries();
    brevant::joinPrivateMatchOrder("Outra", "y", true);
    host.rt().runPosted();
    EXPECT_FALSE(brevant::lobbyOwned.load());
    EXPECT_EQ(brevant::seriesPhase(), brevant::SeriesPhase::Joined);
}

TEST_F(PrivateMatch, CreateAndJoinTimersFireAtTheirDelays) {
    brevant::rotateStateRequested = true;
    order(R"({"t":"create","server":"S"})");
    EXPECT_FALSE(brevant::rotateStateRequested.load());  // a new match has asked nothing yet
    const auto created = host.game().onlineGame;
    EXPECT_EQ(timesOf({[&] { return created->autoSaveCalls.size(); }}, 3.2)[0],
              (std::vector<double>{0.6, 1.0, 1.6, 2.2, 3.0}));

    // The join: the player sits in a casual online game, where the auto-save takes; the match
    // turns private 0.55 s in, after the watchdog's tick on the whole second, so that the state
    // request at 1.0 s can only be the join's own check.
    auto casual = std::make_shared<sdk::GameStateModel>();
    host.game().onlineGame = host.game().currentGameState = casual;
    host.game().matchmaking.join = sdk::CallBehaviour::Refuse;
    brevant::resetSeries();  // as a host that has moved on
    const double now = static_cast<double>(host.rt().nowNanos()) / 1e9;
    ASSERT_NEAR(now - std::floor(now), 0.5, 1e-6);  // half a second past a watchdog tick
    order(R"({"t":"join_private","server":"Sala2"})");
    const auto times =
        timesOf({[&] { return host.game().matchmaking.joins.size(); },
                 [&] { return casual->autoSaveCalls.size(); }, [&] { return stateRequests(); }},
                3.2, [&](double t) {
                    if (std::abs(t - 0.55) < 1e-6)
                        casual->privateMatch = true;
                });
    EXPECT_EQ(times[0], (std::vector<double>{0.05, 0.6, 1.2, 1.8}));  // the first is due at once
    EXPECT_EQ(times[1], (std::vector<double>{0.8, 1.4, 2.0, 3.0}));
    EXPECT_EQ(times[2], (std::vector<double>{1.0}));
}

}  // namespace

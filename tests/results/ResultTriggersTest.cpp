// The two triggers of the game result report through the plugin in the stand-in host (manual
// clock), with the messages read on the wire by a WebSocket backend on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "net/Json.h"
#include "pairing/PairingState.h"
#include "plugin/Hooks.h"
#include "rotation/HostingState.h"
#include "rotation/PrivateMatch.h"
#include "tests/support/ConnectedPlugin.h"

namespace {

class ResultTriggers : public testing_support::ConnectedPlugin {
protected:
    std::vector<std::string> results() { return received("game_result"); }
    // The console's end of a game: the roster's players, this score, then the match-ended hook
    // and the post-game lobby's, at once.
    void endGame(int blue, int orange) {
        host.rt().executeCommand("game end " + std::to_string(blue) + " " + std::to_string(orange));
    }
    std::string field(const std::string& message, const std::string& key) {
        return brevant::json::parse(message).at(key).dump();
    }
};

// The backend's create order makes this plugin the match's owner; each game of the match is
// reported once, with the roster's players, also when a boundary of the monotonic clock's
// 30-second windows lies between the two triggers. The same map and score count as the same game
// until 30 s after the last attempt. A plugin that joined reports nothing.
TEST_F(ResultTriggers, EachGameOfAnOwnedMatchIsReportedOnce) {
    fromBackend(R"({"t":"create_private","serverName":"Serie","password":"x","rotate":false})");
    ASSERT_TRUE(brevant::lobbyOwned.load());
    host.rt().executeCommand("game map Stadium_P");
    host.advance(29.8 - 0.3);

    // At 29.8 s: the lobby's trigger runs at 29.9 s, the match end's at 30.1 s.
    endGame(3, 1);
    host.advance(1.0);
    auto sent = results();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0],
              R"({"blueGoals":3,"deviceId":")" + brevant::deviceId +
                  R"(","finishedAt":29900,"mapCode":"Stadium_P","mapName":"Stadium_P",)"
                  R"("orangeGoals":1,"players":[)"
                  R"({"epicId":"","name":"Piloto","steamId":"76561198012345678","team":"blue"},)"
                  R"({"epicId":"8f1c2d3e4a5b46c7a8d9e0f1a2b3c4d5","name":"Parceiro",)"
                  R"("steamId":"0","team":"blue"},)"
                  R"({"epicId":"","name":"Rival","steamId":"76561198087654321","team":"orange"},)"
                  R"({"epicId":"0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d","name":"Goleiro",)"
                  R"("steamId":"0","team":"orange"}],)"
                  R"("region":9,"server":"Serie","t":"game_result","version":"0.0.2",)"
                  R"("winner":"blue"})");

    // At 30.8 s the next game ends with another score: a second message, from the lobby's
    // trigger at 30.9 s.
    endGame(2, 2);
    host.advance(1.0);
    sent = results();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(field(sent[1], "winner"), R"("draw")");
    EXPECT_EQ(field(sent[1], "finishedAt"), "30900");

    // The same map and score again: 29.9 s after the last attempt it is the same game; 30 s
    // after, a new one.
    host.advance(60.7 - 31.8);
    host.rt().fireEvent(brevant::eventPostGameLobby);  // its report at 60.8 s: dropped
    host.advance(0.1);
    host.rt().fireEvent(brevant::eventPostGameLobby);  // its report at 60.9 s: sent
    host.advance(1.0);
    sent = results();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(field(sent[2], "finishedAt"), "60900");
    EXPECT_EQ(host.countLog("[BRV] game_result enviado: blue 3-1"), 1);
    EXPECT_EQ(host.countLog("[BRV] game_result enviado: draw 2-2"), 2);

    // A join addressed to this device: this plugin no longer owns the match and reports nothing.
    brevant::joinPrivateMatchOrder("Outra", "y", true);
    host.rt().runPosted();
    ASSERT_FALSE(brevant::lobbyOwned.load());
    host.advance(10.0);
    endGame(0, 1);
    host.advance(1.0);
    EXPECT_EQ(results().size(), 3u);
}

// The triggers read their inputs when they run, not when they are armed.
TEST_F(ResultTriggers, TheTriggersReadTheirInputsWhenTheyRun) {
    host.game().enterPrivateMatch("Velha", "Park_P");
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Velha";
    }
    endGame(1, 0);  // not owned yet
    brevant::beginHostingSeries();
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Nova";
        brevant::rotationState.region = 4;
    }
    host.advance(1.0);
    const auto sent = results();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(field(sent[0], "server"), R"("Nova")");
    EXPECT_EQ(field(sent[0], "region"), "4");

    // Unpaired by the time they run: nothing.
    endGame(4, 0);
    brevant::paired = false;
    host.advance(1.0);
    EXPECT_EQ(results().size(), 1u);
}

// A new load starts without a last attempt: the same map and score right after a reload is a game
// of its own.
TEST_F(ResultTriggers, ANewLoadForgetsTheLastAttempt) {
    auto ownedGame = [&] {
        brevant::beginHostingSeries();
        host.game().enterPrivateMatch("Sala", "Stadium_P");
        endGame(3, 1);
        host.advance(1.0);
    };
    ownedGame();
    backendLivesPast();  // else the outbox sends the first again after the restart
    restart();
    ownedGame();
    EXPECT_EQ(results().size(), 2u);
}

}  // namespace

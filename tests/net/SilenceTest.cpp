// A connection that dies in silence: the backend's pings set how long it may stay quiet, the
// status says so past twice its period, and past the limit the session closes it as a failed one.
#include <gtest/gtest.h>

#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "plugin/Status.h"
#include "tests/support/ConnectedPlugin.h"
#include "tests/support/Wine.h"

namespace {

using namespace std::chrono_literals;
using State = brevant::SessionStatus::State;

constexpr const char* kWineWhy =
    "Wine's WinHTTP does not end a receive under way when its handle is closed";

class Silence : public testing_support::ConnectedPlugin {
protected:
    void setReconnect(bool on) { host.rt().findCvar("brv_ws_reconnect")->set(on ? "1" : "0"); }
    // A ping of the backend, handled (its pong is back).
    void ping() {
        const auto before = count(R"({"t":"pong"})");
        server.sendText(R"({"t":"ping"})");
        ASSERT_TRUE(host.pumpUntil([&] { return count(R"({"t":"pong"})") > before; }));
    }
    bool statusSays(const std::string& connection) {
        host.rt().executeCommand("brv_status");
        return host.hasLog("[BRV] Status: " + connection);
    }
};

TEST_F(Silence, ABackendThatPingedTwiceAndFellSilentIsToldThenClosedAtItsLimit) {
    if (testing_support::underWine())
        GTEST_SKIP() << kWineWhy;
    ping();
    host.advance(5.0);
    ping();  // a period of 5 s: a limit of 20 s, the floor
    host.advance(11.0);
    EXPECT_TRUE(statusSays("Conexao: conectado ha 16s; sem noticias do backend ha 11s"));
    const auto panel = brevant::statusNow();
    EXPECT_EQ(panel.connection, "Conexao: conectado ha 16s; sem noticias do backend ha 11s");
    EXPECT_EQ(panel.tone, brevant::StatusView::Tone::Pending);

    host.advance(9.0);  // silent 20 s: at the limit, not past it
    EXPECT_FALSE(host.pumpUntil([] { return !brevant::backendConnected(); }, 200ms));
    // Past it (by the time the connector reads the clock, which the host moves timer by timer).
    host.advance(1.0);
    const auto closed = [&] {
        for (const auto& line : host.logs())
            if (line.starts_with("[BRV] WS: sem resposta do backend ha 2") &&
                line.ends_with("s; conexao encerrada"))
                return true;
        return false;
    };
    ASSERT_TRUE(host.pumpUntil(closed));
    EXPECT_EQ(brevant::sessionStatus().state, State::Closed);
    EXPECT_TRUE(server.waitForEndedConnections(1));
    // brv_ws_reconnect 0: it stays closed, and says why.
    host.advance(120.0);
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_EQ(brevant::statusNow().connection.rfind(
                  "Conexao: fechada ha 2m (sem resposta do backend ha 2", 0),
              0u);
}

// With reconnection on it opens again as after any loss, and a result the silent session took
// goes again, the same bytes, after the next hello. The period outlives its connection: the next
// one is watched from its open, unless it was closed on that period without a ping of its own.
TEST_F(Silence, OnItReopensAndAResultSentIntoTheSilenceGoesAgain) {
    if (testing_support::underWine())
        GTEST_SKIP() << kWineWhy;
    setReconnect(true);
    ASSERT_TRUE(brevant::outbox::waitForIdle(30s));
    ping();
    host.advance(5.0);
    ping();
    const std::string result = R"({"blueGoals":4,"t":"game_result"})";
    EXPECT_EQ(brevant::outbox::sendOrKeepResult(result, "blue 4-0"), "");
    EXPECT_EQ(received("game_result").size(), 1u);
    host.advance(21.0);
    ASSERT_TRUE(host.pumpUntil([] { return brevant::sessionStatus().state != State::Connected; }));
    for (int i = 0; i < 10 && server.connectionCount() < 2; ++i) {
        host.advance(1.0);
        host.pumpUntil([&] { return server.connectionCount() >= 2; }, 200ms);
    }
    ASSERT_TRUE(host.pumpUntil([&] { return count(result) == 2; }));
    EXPECT_EQ(received("game_result"), (std::vector<std::string>{result, result}));
    EXPECT_TRUE(host.hasLog("[BRV] Outbox: game_result reenviado (blue 4-0)"));

    host.advance(21.0);  // dead before its first ping
    ASSERT_TRUE(host.pumpUntil([] { return brevant::sessionStatus().state != State::Connected; }));
    for (int i = 0; i < 10 && server.connectionCount() < 3; ++i) {
        host.advance(1.0);
        host.pumpUntil([&] { return server.connectionCount() >= 3; }, 200ms);
    }
    ASSERT_TRUE(host.pumpUntil([] { return brevant::backendConnected(); }));
    host.advance(60.0);
    EXPECT_EQ(server.connectionCount(), 3u);
}

// One ping gives no period: the session has no limit, and the results it took stay until it
// ends, past the 10 minutes that let go of them on a session the backend never pinged on.
TEST_F(Silence, ABackendThatHasNotPingedTwiceIsNeverClosedForSilence) {
    ping();
    ASSERT_TRUE(brevant::outbox::waitForIdle(30s));
    EXPECT_EQ(brevant::outbox::sendOrKeepResult(R"({"t":"game_result"})", "blue 1-0"), "");
    host.advance(600.0);
    host.advance(600.0);
    brevant::outbox::retryNow();
    ASSERT_TRUE(brevant::outbox::waitForIdle(30s));
    EXPECT_EQ(brevant::outbox::pending().size(), 1u);
    EXPECT_TRUE(statusSays("Conexao: conectado ha 20m"));
    EXPECT_EQ(brevant::sessionStatus().state, State::Connected);
    EXPECT_EQ(server.connectionCount(), 1u);
}

}  // namespace

// The session reopened: by itself with brv_ws_reconnect on, by hand with brv_ws_connect, never
// on the game thread; and what the backend said when it closed it.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "tests/support/TestHost.h"
#include "tests/support/WsTestServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::WsTestServer;
using State = brevant::SessionStatus::State;

class Reconnect : public ::testing::Test {
protected:
    void SetUp() override {
        brevant::setBackendEndpointForTests({L"127.0.0.1", server->port(), 1, 1, 1});
        host.load();
        host.advance(0.3);
        ASSERT_TRUE(server->waitForMessages(1));  // hello
        host.settle();
        brevant::paired = true;
    }
    void setReconnect(bool on) { host.rt().findCvar("brv_ws_reconnect")->set(on ? "1" : "0"); }
    // Waits (real time) until the session is in that state.
    bool waitFor(State state) {
        return host.pumpUntil([&] { return brevant::sessionStatus().state == state; });
    }
    // Advances the plugin's clock on the game thread; how long the game thread was busy.
    std::chrono::steady_clock::duration advance(double seconds) {
        const auto start = std::chrono::steady_clock::now();
        host.advance(seconds);
        return std::chrono::steady_clock::now() - start;
    }
    std::vector<std::string> typesOf(const WsTestServer& s) {
        std::vector<std::string> types;
        for (const auto& m : s.messages())
            types.push_back(m.substr(m.find(R"("t":")") + 5,
                                     m.find('"', m.find(R"("t":")") + 5) - m.find(R"("t":")") - 5));
        return types;
    }

    std::unique_ptr<WsTestServer> server = std::make_unique<WsTestServer>();
    testing_support::TestHost host;
};

TEST_F(Reconnect, OnTheSessionComesBackByItselfOffTheGameThreadAndCatchesUpTheSeries) {
    setReconnect(true);
    {
        // A joiner holding its series' rotation: only the session's opening asks for the state.
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Sala";
        brevant::rotationState.rotation = {"A_P", "B_P"};
    }
    host.game().enterPrivateMatch("Sala", "Stadium_P");
    brevant::beginJoinedSeries();
    brevant::observeSeries(true);
    const auto port = server->port();
    server.reset();  // the backend stops
    ASSERT_TRUE(waitFor(State::Waiting));
    // While it is away, the reopens fail on the connector's thread; the game thread goes on.
    std::chrono::steady_clock::duration longest{};
    for (int i = 0; i < 4; ++i) {
        longest = std::max(longest, advance(2.0));
        ASSERT_TRUE(waitFor(State::Waiting));
    }
    EXPECT_GT(brevant::sessionStatus().retryAtMs - brevant::sessionStatus().sinceMs, 0);

    server = std::make_unique<WsTestServer>(port);  // back on the same port
    for (int i = 0; i < 70 && brevant::sessionStatus().state != State::Connected; ++i) {
        longest = std::max(longest, advance(1.0));
        host.pumpUntil([] { return brevant::sessionStatus().state != State::Connecting; });
    }
    ASSERT_TRUE(server->waitForMessages(2));
    EXPECT_EQ(typesOf(*server), (std::vector<std::string>{"hello", "rotate_state_req"}));
    EXPECT_LT(longest, 1s);  // no open ran on the game thread
}

TEST_F(Reconnect, OffNothingReopensUntilAskedAndThenOnce) {
    const auto port = server->port();
    server.reset();
    ASSERT_TRUE(waitFor(State::Closed));
    server = std::make_unique<WsTestServer>(port);
    advance(120.0);
    EXPECT_EQ(server->connectionCount(), 0u);

    host.rt().executeCommand("brv_ws_connect");
    EXPECT_TRUE(host.hasLog("[BRV] WS: reconectando..."));
    ASSERT_TRUE(waitFor(State::Connected));
    host.rt().executeCommand("brv_ws_connect");
    EXPECT_TRUE(host.hasLog("[BRV] WS: ja conectado (ou conectando)"));
    ASSERT_TRUE(server->waitForMessages(1));
    EXPECT_EQ(typesOf(*server), std::vector<std::string>{"hello"});
    EXPECT_EQ(server->connectionCount(), 1u);
}

// Each line about the connection finds the status already saying it, and a session that is down
// counts from the loss, however many opens failed since.
TEST_F(Reconnect, TheStatusSaysItBeforeItsLineAndCountsFromTheLoss) {
    std::mutex seenMutex;
    std::vector<std::pair<std::string, State>> seen;  // each line and the state it found
    host.rt().setOutput([&](sdk::OutputKind, const std::string& text) {
        if (text.rfind("[BRV] WS ", 0) != 0)
            return;
        const State now = brevant::sessionStatus().state;
        std::lock_guard lk(seenMutex);
        seen.emplace_back(text, now);
    });
    server->sendClose(1000, "bye");
    ASSERT_TRUE(
        host.pumpUntil([&] { return host.hasLog("[BRV] WS fechado pelo backend (1000): bye"); }));
    server.reset();
    for (int i = 1; i <= 3; ++i) {
        host.rt().executeCommand("brv_ws_connect");
        ASSERT_TRUE(host.pumpUntil([&] { return brevant::sessionStatus().attempts == i; }));
        advance(3.0);
    }
    host.rt().executeCommand("brv_status");
    EXPECT_TRUE(
        host.hasLog("[BRV] Status: Conexao: fechada ha 9s (codigo 1000: bye); 3 tentativas"));
    std::lock_guard lk(seenMutex);
    ASSERT_EQ(seen.size(), 4u);  // the close and three failed opens
    for (const auto& [line, state] : seen)
        EXPECT_EQ(state, State::Closed) << line;
}

// The setting turned on while the session is closed (just after the loss, as the demo does):
// nothing else happens, and it reopens by itself.
TEST_F(Reconnect, TurnedOnWhileClosedItReopensByItself) {
    const auto port = server->port();
    server.reset();
    // The connector was woken by the loss before this line, and finds the setting off.
    ASSERT_TRUE(
        host.pumpUntil([&] { return host.hasLog("[BRV] WS error: WebSocketReceive failed"); }));
    server = std::make_unique<WsTestServer>(port);
    setReconnect(true);
    // The connector looks at the setting once a second of real time; then its backoff runs on
    // the plugin's clock.
    ASSERT_TRUE(host.pumpUntil([] { return brevant::sessionStatus().state != State::Closed; }));
    for (int i = 0; i < 50 && brevant::sessionStatus().state != State::Connected; ++i) {
        advance(1.0);
        host.pumpUntil([] { return brevant::sessionStatus().state == State::Connected; }, 100ms);
    }
    EXPECT_EQ(brevant::sessionStatus().state, State::Connected);
}

TEST_F(Reconnect, AReplacedSessionSaysWhyAndIsNotReopenedByItself) {
    setReconnect(true);
    server->sendClose(1008, "replaced\nby a newer connection");
    ASSERT_TRUE(host.pumpUntil([&] {
        return host.hasLog(
            "[BRV] WS fechado pelo backend (1008): replaced\\x0Aby a newer connection");
    }));
    EXPECT_EQ(brevant::sessionStatus().state, State::Closed);  // set before the line
    const auto status = brevant::sessionStatus();
    EXPECT_TRUE(status.replaced);
    EXPECT_EQ(status.closeCode, 1008);
    advance(120.0);
    EXPECT_EQ(brevant::sessionStatus().state, State::Closed);
    EXPECT_EQ(server->connectionCount(), 1u);
    host.rt().executeCommand("brv_status");
    EXPECT_TRUE(
        host.hasLog("[BRV] Status: Conexao: fechada ha 2m (codigo 1008: replaced\\x0Aby a newer "
                    "connection); outra conexao deste device assumiu (use Reconectar)"));
}

}  // namespace

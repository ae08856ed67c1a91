// The outbox: game results and replays are kept in the data folder until the backend has them,
// across sessions, unloads and loads.
#include "outbox/Outbox.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/FileWriter.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "plugin/Hooks.h"
#include "plugin/MessageRoutes.h"
#include "plugin/SessionSetup.h"
#include "rotation/HostingState.h"
#include "tests/support/ConnectedPlugin.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/Wine.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Outbox : public testing_support::ConnectedPlugin {
protected:
    fs::path folder() const { return host.dataFolder() / "Brevant" / "outbox"; }
    std::size_t recordFiles() {
        EXPECT_TRUE(brevant::waitForFileWrites(10s));
        std::size_t n = 0;
        for (const auto& entry : fs::directory_iterator(folder()))
            n += entry.path().extension() == ".json";
        return n;
    }
    void waitForOutbox() {
        host.settle();
        ASSERT_TRUE(brevant::outbox::waitForIdle(30s));
        host.rt().runPosted();
    }
    // A game of a match this plugin hosts ends, 3-1.
    void ownedGameEnds() {
        brevant::beginHostingSeries();
        host.game().enterPrivateMatch("Sala", "Stadium_P");
        {
            std::lock_guard lk(brevant::hostingMutex);
            brevant::currentServerName = "Sala";
        }
        host.rt().executeCommand("game end 3 1");
        host.advance(1.0);
    }
    void reconnect() {
        brevant::startBackendSession(brevant::pluginSessionSetup());
        ASSERT_TRUE(host.pumpUntil([] { return brevant::backendConnected(); }));
        waitForOutbox();
    }
};

TEST_F(Outbox, AResultMadeWhileDisconnectedIsSentAfterTheNextHelloOnceAndInOrder) {
    server.sendClose();
    ASSERT_TRUE(host.pumpUntil([] { return !brevant::backendConnected(); }));
    ownedGameEnds();
    host.advance(40.0);  // another game, another score
    host.rt().executeCommand("game end 0 2");
    host.advance(1.0);
    EXPECT_TRUE(host.hasLog("[BRV] game_result nao enviado (sem conexao): blue 3-1"));
    EXPECT_TRUE(host.hasLog("[BRV] Outbox: game_result guardado para reenvio (blue 3-1 (Sala))"));
    EXPECT_EQ(recordFiles(), 2u);

    reconnect();
    const auto results = received("game_result");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_NE(results[0].find(R"("blueGoals":3)"), std::string::npos);  // the older first
    EXPECT_NE(results[1].find(R"("orangeGoals":2)"), std::string::npos);
    EXPECT_EQ(recordFiles(), 0u);
    reconnect();  // a later hello sends nothing again
    EXPECT_EQ(received("game_result").size(), 2u);
}

TEST_F(Outbox, RecordsOutliveUnloadAndAreDeliveredAfterTheNextLoad) {
    server.sendClose();
    ASSERT_TRUE(host.pumpUntil([] { return !brevant::backendConnected(); }));
    ownedGameEnds();
    host.rt().executeCommand("brv_outbox");
    EXPECT_TRUE(host.hasLog("[BRV] Outbox: 1 pendente(s)"));
    EXPECT_TRUE(
        host.hasLog("[BRV] Outbox: result blue 3-1 (Sala) tentativas=0 proxima=ao conectar"));
    host.unload();
    EXPECT_EQ(recordFiles(), 1u);

    connect();
    waitForOutbox();
    EXPECT_EQ(received("game_result").size(), 1u);
    EXPECT_EQ(recordFiles(), 0u);
}

TEST_F(Outbox, OldRecordsAndThoseBeyondTheRoomAreDroppedWithALineEach) {
    host.unload();
    fs::create_directories(folder());
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    auto record = [&](long long created, int n) {
        char name[64];
        std::snprintf(name, sizeof name, "%013lld-%06d-result.json", created, n);
        std::ofstream(folder() / name) << brevant::json{
            {"kind", "result"},
            {"name", "g" + std::to_string(n)},
            {"created", created},
            {"attempts", 0},
            {"text", "{}"}}.dump();
    };
    record(now - 8LL * 24 * 3600 * 1000, 0);  // eight days old
    for (int n = 1; n <= 201; ++n)
        record(now - 1000 + n, n);
    std::ofstream(folder() / "9999999999999-000000-result.json") << "not json";
    server.sendClose();
    host.load();
    ASSERT_TRUE(brevant::outbox::waitForIdle(30s));
    EXPECT_TRUE(host.hasLog("[BRV] Outbox: result g0 descartado: mais de 7 dias"));
    EXPECT_TRUE(host.hasLog("[BRV] Outbox: result g1 descartado: mais de 200 pendentes"));
    EXPECT_FALSE(host.hasLog("[BRV] Outbox: result g2 descartado: mais de 200 pendentes"));
    EXPECT_TRUE(
        host.hasLog("[BRV] Outbox: registro ilegivel descartado (9999999999999-000000-result)"));
    EXPECT_EQ(brevant::outbox::pending().size(), 200u);
    EXPECT_EQ(recordFiles(), 200u);
}

TEST_F(Outbox, UnloadCutsAnUploadToAStalledServerAtOnceAndKeepsItsRecord) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a call under way when its handle is closed";
    testing_support::HttpTestServer uploads;
    uploads.setFallback(testing_support::HttpCannedResponse::withAction(
        testing_support::HttpCannedResponse::Action::Stall));
    brevant::setBackendEndpointForTests({L"127.0.0.1", server.port(), 1, 1, uploads.port()});
    const auto replay = host.dataFolder() / "replay_VXA_stall.replay";
    std::ofstream(replay) << std::string(1000, 'r');
    brevant::outbox::keepReplay({replay.string(), 1000, 0, true, "dev", "Sala", ""});
    ASSERT_TRUE(host.pumpUntil([&] { return uploads.requestCount() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    host.unload();
    // The upload's own limit is 30 s; unload did not wait for it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(recordFiles(), 1u);
}

// A record's count of tries is input like the rest of its file: one far below or above any count
// this plugin writes is tried, and backs off, without undefined arithmetic.
TEST_F(Outbox, AReplayRecordWithAnImpossibleCountOfTriesBacksOffSafely) {
    testing_support::HttpTestServer uploads;
    uploads.setFallback(testing_support::HttpCannedResponse::make(500));
    brevant::setBackendEndpointForTests({L"127.0.0.1", server.port(), 1, 1, uploads.port()});
    host.unload();
    fs::create_directories(folder());
    const auto replay = host.dataFolder() / "replay_VXA_odd.replay";
    std::ofstream(replay) << std::string(100, 'r');
    int n = 0;
    for (const long long attempts : {-5LL, 2147483647LL}) {
        char name[64];
        std::snprintf(name, sizeof name, "%013lld-%06d-replay.json", 1000000000000LL + n, n);
        ++n;
        std::ofstream(folder() / name)
            << brevant::json{{"kind", "replay"},           {"name", "odd"},
                             {"created", 4102444800000LL}, {"attempts", attempts},
                             {"path", replay.string()},    {"size", 100}}
                   .dump();
    }
    host.load();
    ASSERT_TRUE(uploads.waitForRequests(2, 30s));
    ASSERT_TRUE(brevant::outbox::waitForIdle(30s));
    for (const auto& p : brevant::outbox::pending())
        EXPECT_TRUE(p.attempts >= 1 && p.attempts <= 1000) << p.attempts;
}

}  // namespace

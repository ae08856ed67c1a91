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
    // A new session; once it says it is open, what waited has been handed to it.
    void reconnect() {
        const int opened = host.countLog("[BRV] Concetado");
        brevant::startBackendSession(brevant::pluginSessionSetup());
        ASSERT_TRUE(host.pumpUntil([&] { return host.countLog("[BRV] Concetado") > opened; }));
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
    EXPECT_EQ(recordFiles(), 2u);  // sent, not yet shown to have reached a live backend
    host.rt().executeCommand("brv_outbox");
    EXPECT_TRUE(
        host.hasLog("[BRV] Outbox: result blue 3-1 (Sala) tentativas=0 proxima=enviado; "
                    "aguardando o backend"));
    backendLivesPast();
    EXPECT_EQ(recordFiles(), 0u);
    reconnect();  // a later hello sends nothing again
    EXPECT_EQ(received("game_result").size(), 2u);
}

// The protocol has no acknowledgement of a result: one the backend read before it hung and was
// killed goes again, the same bytes, to the next session; one whose session lives on without
// pings is let go of after 10 minutes.
TEST_F(Outbox, AResultIsSentAgainWhenItsSessionEndsBeforeTheBackendShowedItLived) {
    ownedGameEnds();
    const auto first = received("game_result");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(host.hasLog("[BRV] game_result enviado: blue 3-1"));
    server.sendText(R"({"t":"ping"})");  // one ping is not enough
    ASSERT_TRUE(host.pumpUntil([&] { return count(R"({"t":"pong"})") == 1; }));
    server.dropConnection();
    ASSERT_TRUE(host.pumpUntil([] { return !brevant::backendConnected(); }));
    EXPECT_EQ(recordFiles(), 1u);

    reconnect();
    const auto again = received("game_result");
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1], first[0]);
    EXPECT_TRUE(host.hasLog("[BRV] Outbox: game_result reenviado (blue 3-1 (Sala))"));
    ASSERT_TRUE(host.advanceWithSleeper(599.0));
    waitForOutbox();
    EXPECT_EQ(recordFiles(), 1u);
    host.advance(2.0);  // the outbox sleeps on the clock until then: it let go of it
    waitForOutbox();
    EXPECT_EQ(recordFiles(), 0u);
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
    backendLivesPast();
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
        host.hasLog("[BRV] Outbox: registro invalido movido para bad/ "
                    "(9999999999999-000000-result: nao e JSON)"));
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

// A record file is input like any other: one that fails its checks is moved to bad/ with a line
// and never holds up the others; the backoff of a replay that fails doubles from 30 s to 30 min
// and a hello does not start it over.
TEST_F(Outbox, BadRecordsAreSetAsideAndAFailingReplayBacksOffWhateverTheHellos) {
    testing_support::HttpTestServer uploads;
    uploads.setFallback(testing_support::HttpCannedResponse::make(500));
    brevant::setBackendEndpointForTests({L"127.0.0.1", server.port(), 1, 1, uploads.port()});
    host.unload();
    fs::create_directories(folder());
    const auto replay = host.dataFolder() / "replay_VXA_odd.replay";
    std::ofstream(replay) << std::string(100, 'r');
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const brevant::json good{{"kind", "replay"}, {"name", "odd"},           {"created", now - 1000},
                             {"attempts", 0},    {"path", replay.string()}, {"size", 100},
                             {"writeTime", 0},   {"owned", true},           {"deviceId", "d"},
                             {"server", "Sala"}, {"uploader", ""}};
    int n = 0;
    auto write = [&](const brevant::json& doc) {
        char name[64];
        std::snprintf(name, sizeof name, "%013lld-%06d-replay.json", 1000000000000LL + n, n);
        ++n;
        std::ofstream(folder() / name) << doc.dump();
    };
    for (const auto& [key, value] : std::vector<std::pair<std::string, brevant::json>>{
             {"attempts", -5},
             {"attempts", 2147483647LL},
             {"attempts", "1"},
             {"created", now + 3'600'000},
             {"path", (host.dataFolder() / "notes.txt").string()}}) {
        auto bad = good;
        bad[key] = value;
        write(bad);
    }
    write(good);
    host.load();
    ASSERT_TRUE(uploads.waitForRequests(1, 30s));
    waitForOutbox();
    EXPECT_TRUE(
        host.hasLog("[BRV] Outbox: registro invalido movido para bad/ "
                    "(1000000000000-000000-replay: 'attempts' fora dos limites)"));
    EXPECT_TRUE(
        host.hasLog("[BRV] Outbox: registro invalido movido para bad/ "
                    "(1000000000004-000004-replay: 'path' nao e de um replay)"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder() / "bad"), fs::directory_iterator()), 5);
    ASSERT_EQ(brevant::outbox::pending().size(), 1u);

    for (int attempts = 1; attempts <= 8; ++attempts) {
        const auto p = brevant::outbox::pending().at(0);
        ASSERT_EQ(p.attempts, attempts);
        ASSERT_EQ(p.nextTry.rfind("em ", 0), 0u) << p.nextTry;
        const long long base = std::min(1800LL, 30LL << (attempts - 1));
        const long long seconds =
            std::stoll(p.nextTry.substr(3)) * (p.nextTry.back() == 'm' ? 60 : 1);
        // Shown rounded up, to the minute past two: the clock is moved by what is shown, so the
        // next wait is read up to a minute short.
        EXPECT_GE(seconds, base / 2 - 60) << p.nextTry;
        EXPECT_LE(seconds, base + 60) << p.nextTry;
        if (attempts == 2) {
            reconnect();  // a hello: not tried before its time
            EXPECT_EQ(uploads.requestCount(), 2u);
        }
        ASSERT_TRUE(host.advanceWithSleeper(static_cast<double>(seconds)));
        ASSERT_TRUE(uploads.waitForRequests(static_cast<std::size_t>(attempts) + 1, 30s))
            << attempts << " " << p.nextTry;
        waitForOutbox();
    }
}

}  // namespace

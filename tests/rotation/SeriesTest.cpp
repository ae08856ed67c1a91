// A series holds together: a join follows the match it joined, the rotation drives only the
// series' own match, a joiner without the rotation keeps asking, states and orders from outside
// stay within bounds, and the log says "sent" only of what the session took.
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendSession.h"
#include "net/Dispatcher.h"
#include "plugin/MessageRoutes.h"
#include "rotation/RotationEngine.h"
#include "rotation/RotationFile.h"
#include "rotation/RotationMessages.h"
#include "rotation/RotationSync.h"
#include "tests/rotation/RotationFixture.h"

namespace {

using brevant::rotationState;

class Series : public testing_support::RotationFixture {
protected:
    std::vector<std::string> list() {
        std::lock_guard lk(brevant::hostingMutex);
        return rotationState.rotation;
    }
    std::string state(const std::string& server, const std::string& fields) {
        return R"({"t":"rotate_state","server":")" + server + R"(","from":"peer",)" + fields + "}";
    }
    // The plugin unloads and loads again with `file` as its rotation file, connects and is
    // paired: a restart of the game with a series left on file.
    void restartWith(const std::string& file) {
        host.unload();
        std::filesystem::create_directories(host.dataFolder() / "plugins");
        std::ofstream(host.dataFolder() / "plugins" / "brevant.rotate.json") << file;
        connect();
    }
};

TEST_F(Series, AJoinFollowsTheMatchItJoined) {
    rotationState.rev = 40;  // an old host: its revision grew with every apply
    rotationState.ts = 5000;
    brevant::rotateStateRequested = true;
    fromBackend(R"({"t":"join_private","to":")" + brevant::deviceId +
                R"(","server":"Sala2","password":"x"})");
    EXPECT_TRUE(list().empty());
    EXPECT_FALSE(rotationState.enabled.load());
    EXPECT_EQ(rotationState.nextIdx.load(), 0);
    EXPECT_EQ(lastMap(), "");
    EXPECT_EQ(rotationState.rev.load(), 1u);
    EXPECT_EQ(rotationState.ts.load(), 0);
    EXPECT_EQ(rotationState.settings.MaxPlayerCount, 8);  // the settings stay
    EXPECT_EQ(brevant::serverNameNow(), "Sala2");

    // Nothing of the old series goes anywhere; the new match's rotation is asked for, once.
    host.advance(4.0);
    EXPECT_TRUE(received("rotate_handoff").empty());
    EXPECT_TRUE(updates().empty());
    const auto asked = received("rotate_state_req");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].find(R"("server":"Sala2")"), std::string::npos);

    // Without a rotation it takes its match's, whatever the revision; then the usual rule.
    fromBackend(state("Sala2", R"("rev":1,"ts":0,"rotation":["A_P","B_P"])"));
    EXPECT_EQ(list(), (std::vector<std::string>{"A_P", "B_P"}));
    EXPECT_FALSE(brevant::rotateStateRequested.load());
    fromBackend(state("Sala2", R"("rev":1,"ts":0,"rotation":["C_P"])"));
    EXPECT_EQ(list(), (std::vector<std::string>{"A_P", "B_P"}));
}

TEST_F(Series, ASeriesOnFileDrivesOnlyItsOwnMatch) {
    restartWith(
        R"({"enabled":true,"lastMap":"Stadium_P","nextIdx":3,"rev":9,"rotation":["EuroStadium_Night_P","CHN_Stadium_P","Stadium_P","UtopiaStadium_Dusk_P","cs_p"],"server":"Sala","ts":1})");
    // The player enters a private match of their own: the old series stays out of it.
    host.game().enterPrivateMatch("Minha", "Stadium_P");
    const auto logs = host.logs().size();
    host.advance(4.0);
    host.rt().fireEvent("Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted");
    host.advance(9.0);
    EXPECT_TRUE(updates().empty());
    EXPECT_TRUE(received("rotate_handoff").empty());
    EXPECT_TRUE(received("rotate_state").empty());
    const auto all = host.logs();
    for (auto it = all.begin() + static_cast<long>(logs); it != all.end(); ++it)
        for (const char* rotation : {"rotat", "troca", "UpdatePrivateMatch", "handoff", "sync"})
            EXPECT_EQ(it->find(rotation), std::string::npos) << *it;

    // A peer asks about the series' match: it is the one the player is in, and it resumes.
    fromBackend(R"({"t":"rotate_state_req","server":"Sala"})");
    host.advance(2.0);
    EXPECT_EQ(updates(), std::vector<std::string>{"UtopiaStadium_Dusk_P"});

    // Ten seconds out of private matches end it (once its match has had the time to load): the
    // next private match is not the series'.
    host.advance(30.0);
    host.game().leaveMatch();
    host.advance(11.0);
    EXPECT_TRUE(host.hasLog("[BRV] Serie encerrada: 'Sala' (fora de private ha 10s)"));
    const auto applied = updates().size();
    host.game().enterPrivateMatch("Outra", "Stadium_P");
    host.advance(4.0);
    EXPECT_EQ(updates().size(), applied);
}

TEST_F(Series, AJoinerWithoutTheRotationAsksAgainEveryFiveSeconds) {
    host.game().leaveMatch();
    host.game().matchmaking.join = sdk::CallBehaviour::Refuse;  // the joins go nowhere yet
    brevant::resetSeries();                                     // not hosting
    fromBackend(R"({"t":"join_private","server":"Sala2"})");    // t = 0.3 s
    host.advance(2.9);  // its one check at 1.3 s came before the match was private
    EXPECT_TRUE(received("rotate_state_req").empty());
    host.game().enterPrivateMatch("Sala2", "Stadium_P");
    host.advance(0.8);  // the watchdog at 4.0 s asks
    EXPECT_EQ(received("rotate_state_req").size(), 1u);
    host.advance(4.9);  // 8.9 s
    EXPECT_EQ(received("rotate_state_req").size(), 1u);
    host.advance(0.2);  // 9.0 s: five seconds after the first
    EXPECT_EQ(received("rotate_state_req").size(), 2u);
    fromBackend(state("Sala2", R"("rev":3,"rotation":["A_P"])"));
    host.advance(10.0);
    EXPECT_EQ(received("rotate_state_req").size(), 2u);
}

TEST_F(Series, StatesPastTheBoundsAreRefused) {
    const std::string longCode(65, 'x');
    std::string sixtyFive = "[";
    for (int i = 0; i < 65; ++i)
        sixtyFive += std::string(i ? "," : "") + "\"M_P\"";
    sixtyFive += "]";
    for (const std::string& fields : {
             std::string(R"("rev":4294967295,"rotation":["A_P"])"),
             std::string(R"("rev":4293918720,"rotation":["A_P"])"),  // 2^32 - 2^20
             std::string(R"("rev":50,"rotation":["A_P",""])"),
             std::string(R"("rev":50,"rotation":["A_P",")" + longCode + "\"]"),
             std::string(R"("rev":50,"rotation":)" + sixtyFive),
         }) {
        fromBackend(state("Sala", fields));
        EXPECT_EQ(list(), brevant::rotationMapsMd5) << fields;
    }
    EXPECT_EQ(rotationState.rev.load(), 1u);
    // Just inside the bounds: taken.
    std::string widest = "[";
    for (int i = 0; i < 64; ++i)
        widest += std::string(i ? "," : "") + "\"" + std::string(64, 'a' + i % 26) + "\"";
    widest += "]";
    fromBackend(state("Sala", R"("rev":4293918719,"rotation":)" + widest));
    EXPECT_EQ(list().size(), 64u);
}

TEST_F(Series, OrdersWithHostileSizesAreRefusedAndQuotedShort) {
    fromBackend(R"({"t":"apply_map","map":""})");
    fromBackend(R"({"t":"set_map","map":")" + std::string(65, 'x') + "\"}");
    fromBackend(R"({"t":"apply_map","map":")" + std::string(900 * 1024, 'x') + "\"}");
    fromBackend(R"({"t":"rotate_handoff","server":"Sala","nextMap":")" + std::string(65, 'x') +
                R"(","seq":3})");
    EXPECT_TRUE(updates().empty());
    EXPECT_EQ(host.countLog("[BRV] apply_map ignorado: nome de mapa invalido (0 bytes)"), 1);
    EXPECT_EQ(host.countLog("[BRV] apply_map ignorado: nome de mapa invalido (921600 bytes)"), 1);
    EXPECT_EQ(host.countLog("[BRV] tentar aplicar: NAO SOU HOST"), 1);

    // A quoted field is cut at 256 bytes, never inside a character ("é" is two bytes).
    std::string room = "a";
    for (int i = 0; i < 300; ++i)
        room += "\xC3\xA9";
    brevant::resetSeries();
    fromBackend(R"({"t":"join_private","server":")" + room + R"(","password":"p"})");
    EXPECT_TRUE(
        host.hasLog("[BRV] join_private -> sala='" + room.substr(0, 255) + "...' pass='p'"));
}

TEST_F(Series, SentMeansTheSessionTookTheText) {
    brevant::broadcastRotationState();
    brevant::startHandoff("cs_p");
    EXPECT_TRUE(host.hasLog("[BRV] rotate_state broadcast (rev=1)"));
    EXPECT_TRUE(host.hasLog("[BRV] handoff enviado (seq=1, next=cs_p)"));

    // The test server closes once it has read what was sent: begun while those frames were
    // still arriving, its close handshake sometimes never ended (one run in ten or twenty).
    ASSERT_TRUE(server.waitForMessages(3));
    server.sendClose();
    ASSERT_TRUE(host.pumpUntil([] { return !brevant::backendConnected(); }));
    brevant::broadcastRotationState();
    brevant::requestRotationState();
    host.advance(1.5);  // the hand-off's retry
    EXPECT_EQ(host.countLog("[BRV] rotate_state broadcast (rev=1)"), 1);
    EXPECT_TRUE(host.hasLog("[BRV] rotate_state nao enviado (rev=1): sem conexao"));
    EXPECT_TRUE(host.hasLog("[BRV] rotate_state_req nao enviado: sem conexao"));
    EXPECT_FALSE(host.hasLog("[BRV] rotate_state_req enviado"));
    EXPECT_EQ(host.countLog("[BRV] handoff enviado (seq=1, next=cs_p)"), 1);
    EXPECT_TRUE(host.hasLog("[BRV] handoff nao enviado (seq=1, next=cs_p): sem conexao"));
}

TEST_F(Series, UnloadSavesWhatOnlyMemoryHeld) {
    {
        std::lock_guard lk(brevant::hostingMutex);
        rotationState.lastMap = "cs_p";  // changed without a save
    }
    host.unload();
    const std::string file = host.rotationFile();
    EXPECT_NE(file.find(R"("lastMap":"cs_p")"), std::string::npos) << file;
    EXPECT_NE(file.find(R"("server":"Sala")"), std::string::npos) << file;
}

TEST_F(Series, SavesFromTheReceiverAndTheGameThreadAtOnceLeaveTheNewestState) {
    constexpr std::uint32_t last = 201;
    for (std::uint32_t rev = 2; rev <= last; ++rev)
        server.sendText(
            state("Sala", R"("rev":)" + std::to_string(rev) + R"(,"rotation":["A_P"])"));
    // The game thread saves over and over while the receiver takes the states and saves each.
    ASSERT_TRUE(host.pumpUntil([] {
        brevant::saveRotationState();
        return rotationState.rev.load() == last;
    }));
    const auto file = brevant::json::parse(host.rotationFile());
    EXPECT_EQ(file.at("rev"), last);
    EXPECT_EQ(file.at("rotation"), brevant::json::array({"A_P"}));
}

// A rotate_state handler that holds the receiver until the test lets it go.
struct HeldReceiver {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline bool entered = false;
    static inline bool released = false;
    static brevant::RouteOutcome rotateState(const brevant::json& msg) {
        {
            std::unique_lock lk(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lk, [] { return released; });
        }
        return brevant::onRotateState(msg);
    }
};

TEST_F(Series, AStateBeingHandledWhenUnloadBeginsNeverMeetsAClearedRotation) {
    // The receiver is inside a rotate_state when unload begins, and goes on only once the
    // session is closing. The session closes (and waits for it) before the final snapshot and
    // before the rotation is cleared, so the file keeps a whole, running series.
    std::vector<brevant::MessageRoute> routes(brevant::messageRoutes().begin(),
                                              brevant::messageRoutes().end());
    for (auto& route : routes)
        if (route.type == "rotate_state")
            route.handle = HeldReceiver::rotateState;
    brevant::startBackendSession(routes);
    ASSERT_TRUE(host.pumpUntil([] { return brevant::backendConnected(); }));
    server.sendText(state("Sala", R"("rev":50,"rotation":["Late_P"])"));
    {
        std::unique_lock lk(HeldReceiver::mutex);
        ASSERT_TRUE(HeldReceiver::changed.wait_for(lk, std::chrono::seconds(10),
                                                   [] { return HeldReceiver::entered; }));
    }
    std::thread releaser([] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (brevant::backendConnected() && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        std::lock_guard lk(HeldReceiver::mutex);
        HeldReceiver::released = true;
        HeldReceiver::changed.notify_all();
    });
    host.unload();
    releaser.join();
    const auto file = brevant::json::parse(host.rotationFile());
    EXPECT_EQ(file.at("enabled"), true);
    EXPECT_EQ(file.at("server"), "Sala");
    EXPECT_FALSE(file.at("rotation").empty());
}

// The fixture hosts "Sala". A map load between two games keeps the series; ten seconds out of
// private matches end it, and a friendly after that is no series' game: no result, no owned
// replay, no map of the series put into it.
TEST_F(Series, AHostThatLeftItsSeriesFilesNothingOfAFriendly) {
    host.game().leaveMatch();
    host.advance(3.0);  // a map load
    host.game().enterPrivateMatch("Sala", "Stadium_P");
    host.advance(8.0);
    ASSERT_TRUE(brevant::hostingSeries());
    host.rt().executeCommand("game end 2 0");
    host.advance(20.0);  // the next game, past the time a series' match has to load
    EXPECT_EQ(received("game_result").size(), 1u);

    host.game().leaveMatch();
    host.advance(11.0);
    EXPECT_EQ(brevant::seriesPhase(), brevant::SeriesPhase::Ended);
    EXPECT_FALSE(brevant::lobbyOwned.load());
    host.game().enterPrivateMatch("Amistoso", "Park_P");
    const auto mapsBefore = updates().size();
    host.advance(3.0);
    host.rt().executeCommand("game end 1 0");
    EXPECT_FALSE(brevant::nextReplayOwned());
    host.advance(10.0);
    EXPECT_EQ(received("game_result").size(), 1u);
    EXPECT_EQ(updates().size(), mapsBefore);
    // The file keeps the series as it was, for a restart to resume.
    EXPECT_NE(host.rotationFile().find(R"("enabled":true)"), std::string::npos);
}

// A new series' match may take long to load, and the game may still show the last series' match
// when the order comes: neither counts as leaving it. A match that never loads ends the series.
TEST_F(Series, ASeriesWaitsForItsMatchToLoadButNotForEver) {
    fromBackend(R"({"t":"create","server":"S2"})");  // the game sits in "Sala"
    host.game().leaveMatch();                        // ... then loads S2, slowly
    host.advance(12.0);
    host.game().enterPrivateMatch("S2", "Stadium_P");
    host.advance(2.0);
    EXPECT_TRUE(brevant::hostingSeries());

    host.game().leaveMatch();
    brevant::resetSeries();
    fromBackend(R"({"t":"join_private","server":"S3"})");
    host.game().matchmaking.join = sdk::CallBehaviour::Refuse;  // it never gets in
    host.advance(59.0);
    EXPECT_EQ(brevant::seriesPhase(), brevant::SeriesPhase::Joined);
    host.advance(2.0);
    EXPECT_TRUE(host.hasLog("[BRV] Serie encerrada: 'S3' (a partida nao abriu em 60s)"));
}

// A player who left the series hears of it from a peer: out of private matches, or in a match
// of their own after the series ended, nothing is applied and nothing is acknowledged.
TEST_F(Series, APlayerWhoLeftTakesNoHandOffAndNoStateOfTheOldSeries) {
    fromBackend(R"({"t":"join_private","to":")" + brevant::deviceId +
                R"(","server":"Serie1","password":"x"})");
    host.game().enterPrivateMatch("Serie1", "Stadium_P");
    host.advance(30.0);
    const std::string handoff =
        R"({"t":"rotate_handoff","server":"Serie1","nextMap":"CHN_Stadium_P","seq":4})";
    const std::string newer = state("Serie1", R"("rev":90,"rotation":["A_P","B_P"])");
    host.game().leaveMatch();
    host.advance(2.0);
    fromBackend(handoff);
    host.advance(9.0);
    host.game().enterPrivateMatch("Amistoso", "Park_P");
    host.advance(1.0);
    fromBackend(handoff);
    fromBackend(newer);
    host.advance(4.0);
    EXPECT_TRUE(updates().empty());
    EXPECT_TRUE(received("rotate_handoff_ack").empty());
    EXPECT_TRUE(list().empty());
}

// Hosting, a join for everyone is refused; the backend's join addressed to this device ends the
// hosting and joins.
TEST_F(Series, AFormerHostJoinsWhenTheJoinIsAddressedToIt) {
    fromBackend(R"({"t":"join_private","server":"S2","password":"x"})");
    EXPECT_TRUE(host.hasLog("[BRV] join_private: ignorado (sou host)."));
    EXPECT_TRUE(brevant::hostingSeries());
    fromBackend(R"({"t":"join_private","to":")" + brevant::deviceId +
                R"(","server":"S2","password":"x"})");
    EXPECT_TRUE(host.hasLog("[BRV] Serie encerrada: 'Sala' (join_private para este device)"));
    EXPECT_EQ(brevant::seriesPhase(), brevant::SeriesPhase::Joined);
    EXPECT_EQ(brevant::serverNameNow(), "S2");
    EXPECT_TRUE(list().empty());
    host.advance(0.0);
    ASSERT_FALSE(host.game().matchmaking.joins.empty());
    EXPECT_EQ(host.game().matchmaking.joins.back().name, "S2");
}

// A create and a join that both arrive before the game thread runs are handled in that order:
// the state describes the one match the game ends up in.
TEST_F(Series, ACreateAndAJoinQueuedTogetherLeaveOneMatch) {
    brevant::resetSeries();
    const auto order = [](const std::string& text) {
        brevant::dispatchMessage(text, brevant::messageRoutes());
    };
    order(R"({"t":"create","server":"S1"})");
    order(R"({"t":"join_private","to":")" + brevant::deviceId + R"(","server":"S2"})");
    host.rt().runPosted();
    EXPECT_EQ(brevant::seriesPhase(), brevant::SeriesPhase::Joined);
    EXPECT_EQ(brevant::serverNameNow(), "S2");
    EXPECT_TRUE(list().empty());

    order(R"({"t":"create","server":"S3"})");
    order(R"({"t":"join_private","server":"S4"})");
    host.rt().runPosted();
    EXPECT_TRUE(brevant::hostingSeries());
    EXPECT_EQ(brevant::serverNameNow(), "S3");
    EXPECT_FALSE(list().empty());
    EXPECT_EQ(host.countLog("[BRV] join_private: ignorado (sou host)."), 1);
}

}  // namespace

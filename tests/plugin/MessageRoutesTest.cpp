// The message catalogue: guards, log lines and flags, and texts that must change nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/Globals.h"
#include "core/Guard.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/Dispatcher.h"
#include "pairing/PairingState.h"
#include "plugin/MessageRoutes.h"
#include "rotation/HostingState.h"
#include "rotation/RotationSync.h"
#include "tests/support/TestHost.h"

namespace {

using testing_support::TestHost;

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        host.load();
        host.settle();  // the load-time pairing check has had its say
        baseline = host.logs().size();
    }
    brevant::RouteOutcome dispatch(const std::string& text) {
        return brevant::dispatchMessage(text, brevant::messageRoutes());
    }
    // Why each text was ignored ("" when handled; "malformed", "not routed" otherwise).
    std::vector<std::string> whys(const std::vector<std::string>& texts) {
        std::vector<std::string> out;
        for (const auto& text : texts) {
            const auto outcome = dispatch(text);
            using Kind = brevant::RouteOutcome::Kind;
            out.emplace_back(outcome.kind == Kind::Malformed   ? "malformed"
                             : outcome.kind == Kind::NotRouted ? "not routed"
                                                               : outcome.why);
        }
        return out;
    }
    // A two-map series in the private match "S", the game in it on its first map.
    void seriesInMatchS() {
        host.game().enterPrivateMatch("S", "Stadium_P");
        brevant::beginJoinedSeries();
        brevant::observeSeries(true);
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "S";
        brevant::rotationState.rotation = {"Stadium_P", "cs_p"};
        brevant::rotationState.lastMap = "Stadium_P";
        brevant::rotationState.enabled = true;
    }
    // Log lines written since the plugin loaded.
    std::vector<std::string> newLogs() const {
        auto all = host.logs();
        return {all.begin() + static_cast<long>(baseline), all.end()};
    }
    TestHost host;
    std::size_t baseline = 0;
};

TEST_F(Dispatcher, PairingMessagesSetTheFlagsLastOneWins) {
    dispatch(R"({"t":"paired_ok"})");
    EXPECT_TRUE(brevant::pairStatusKnown.load());
    EXPECT_TRUE(brevant::paired.load());
    dispatch(R"({"t":"pair_required","extra":[1,2]})");
    EXPECT_TRUE(brevant::pairStatusKnown.load());
    EXPECT_FALSE(brevant::paired.load());
    EXPECT_EQ(newLogs(), (std::vector<std::string>{
                             "[BRV] Device paired to your Discord. Ready.",
                             "[BRV] Pair required. Use: /addpair deviceid:" + brevant::deviceId +
                                 " no Discord",
                         }));
}

TEST_F(Dispatcher, TextsThatAreNotKnownMessagesChangeNothing) {
    host.expectSwallowed("dispatch");  // the non-string types of "t"
    std::vector<std::string> outcomes;
    for (const char* text : {
             "not json",
             "",
             "{}",
             "[]",
             "[1,2]",
             "\"paired_ok\"",
             "true",
             "null",
             "42",
             R"({"t":"PAIRED_OK"})",
             R"({"t":"Ping"})",
             R"({"t":" paired_ok"})",
             R"({"t":5})",
             R"({"t":null})",
             R"({"t":["paired_ok"]})",
             R"({"type":"paired_ok"})",
             R"({"t":"paired_ok")",
             R"({"t":"unknown_type"})",
         }) {
        outcomes.push_back(whys({text}).front());
    }
    host.rt().runPosted();
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "malformed"), 3);  // "t" 5, null, [..]
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "not routed"), 15);
    EXPECT_EQ(brevant::swallowedFailures()["dispatch"], 3);
    EXPECT_TRUE(newLogs().empty());
    EXPECT_FALSE(brevant::pairStatusKnown.load());
    EXPECT_FALSE(brevant::paired.load());
    EXPECT_TRUE(host.toastTexts().empty());
}

TEST_F(Dispatcher, HostileSizesAndNestingAreDroppedQuietly) {
    dispatch(std::string(1024 * 1024, '['));
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += R"({"t":)";
    dispatch(deep);
    std::string valid =
        R"({"t":"paired_ok","x":)" + std::string(200000, '[') + std::string(200000, ']') + "}";
    dispatch(valid);  // deep but valid: handled like any other
    EXPECT_TRUE(brevant::paired.load());
}

TEST_F(Dispatcher, CreateNeedsPairing) {
    dispatch(R"({"t":"create","serverName":"Sala"})");
    dispatch(R"({"t":"create_private_match"})");
    EXPECT_EQ(newLogs(), (std::vector<std::string>{"[BRV] seu device nao esta pareado",
                                                   "[BRV] seu device nao esta pareado"}));
    host.rt().runPosted();
    EXPECT_TRUE(host.game().matchmaking.creations.empty());
    EXPECT_EQ(brevant::serverNameNow(), "");
}

TEST_F(Dispatcher, JoinGuardsRunInOrderAndEachSaysWhy) {
    brevant::beginHostingSeries();
    EXPECT_EQ(dispatch(R"({"t":"join_private","to":"someone-else"})"), brevant::ignored("hosting"));
    brevant::resetSeries();
    EXPECT_EQ(
        whys({R"({"t":"join_private","to":"someone-else"})",
              R"({"t":"join_private","to":")" + brevant::deviceId + R"("})",
              R"({"t":"join_private"})", R"({"t":"join_private","to":""})"}),
        (std::vector<std::string>{"another device", "not paired", "not paired", "not paired"}));
    EXPECT_EQ(newLogs(), (std::vector<std::string>{
                             "[BRV] join_private: ignorado (sou host).",
                             "[BRV] join_private: ignorado (destino=someone-else)",
                             "[BRV] Ignorando join_private: device nao pareado",
                             "[BRV] Ignorando join_private: device nao pareado",
                             "[BRV] Ignorando join_private: device nao pareado",
                         }));
    EXPECT_EQ(brevant::serverNameNow(), "");
    host.rt().runPosted();
    host.advance(5);
    EXPECT_TRUE(host.game().matchmaking.joins.empty());
}

TEST_F(Dispatcher, AFieldOfTheWrongTypeDropsTheMessageSilently) {
    host.expectSwallowed("dispatch");
    EXPECT_EQ(whys({R"({"t":"join_private","to":7})", R"({"t":"join_private","to":null})",
                    R"({"t":"rank_ack","status":true})", R"({"t":"rank_ack","note":{"a":1}})"}),
              std::vector<std::string>(4, "malformed"));
    host.rt().runPosted();
    EXPECT_EQ(brevant::swallowedFailures()["dispatch"], 4);
    EXPECT_TRUE(newLogs().empty());
    EXPECT_TRUE(host.toastTexts().empty());
}

TEST_F(Dispatcher, RotationMessagesOfAnUnpairedDevice) {
    // A series in the match "S" that each of these messages would change once paired.
    seriesInMatchS();
    EXPECT_EQ(whys({R"({"t":"rotate_handoff","server":"S","nextMap":"Stadium_P","seq":1})",
                    R"({"t":"rotate_handoff_ack","ok":true,"server":"S","map":"cs_p"})",
                    R"({"t":"rotate_state_req","server":"S"})",
                    R"({"t":"rotate_state","server":"S","from":"x","rev":9,"rotation":["a"]})"}),
              std::vector<std::string>(4, "not paired"));
    host.rt().runPosted();
    EXPECT_EQ(newLogs(),
              (std::vector<std::string>{"[BRV] Ignorando rotate_handoff: device nao pareado"}));
    EXPECT_TRUE(host.game().matchmaking.updates.empty());
    std::lock_guard lk(brevant::hostingMutex);
    EXPECT_EQ(brevant::rotationState.lastMap, "Stadium_P");
    EXPECT_EQ(brevant::rotationState.rotation.size(), 2u);
}

TEST_F(Dispatcher, RotationMessagesOfAnotherMatchOrOfOurOwnChangeNothing) {
    brevant::paired = true;
    seriesInMatchS();
    EXPECT_EQ(whys({R"({"t":"rotate_handoff","server":"T","nextMap":"cs_p","seq":1})",
                    R"({"t":"rotate_handoff_ack","ok":false,"server":"S","map":"cs_p"})",
                    R"({"t":"rotate_handoff_ack","ok":true,"server":"T","map":"cs_p"})",
                    R"({"t":"rotate_handoff_ack","ok":true,"server":"S","map":""})",
                    R"({"t":"rotate_state_req","server":"T"})", R"({"t":"rotate_state_req"})",
                    R"({"t":"rotate_state","server":"T","from":"x","rev":9,"rotation":["a"]})",
                    R"({"t":"rotate_state","from":"x","rev":9,"rotation":["a"]})",
                    R"({"t":"rotate_state","server":"S","from":")" + brevant::deviceId +
                        R"(","rev":9,"rotation":["a"]})"}),
              (std::vector<std::string>{"another match", "not taken", "another match", "no map",
                                        "another match", "another match", "another match",
                                        "another match", "our own"}));
    host.rt().runPosted();
    EXPECT_TRUE(newLogs().empty());
    EXPECT_TRUE(host.game().matchmaking.updates.empty());
    {
        std::lock_guard lk(brevant::hostingMutex);
        EXPECT_EQ(brevant::rotationState.lastMap, "Stadium_P");
        EXPECT_EQ(brevant::rotationState.rotation.size(), 2u);
    }
    // The same messages for this match do change it.
    EXPECT_EQ(whys({R"({"t":"rotate_handoff_ack","ok":true,"server":"S","map":"cs_p"})",
                    R"({"t":"rotate_state_req","server":"S"})",
                    R"({"t":"rotate_handoff","server":"S","nextMap":"cs_p","seq":1})"}),
              std::vector<std::string>(3, ""));
    host.rt().runPosted();
    EXPECT_TRUE(host.hasLog("[BRV] ACK(seq=0) -> lastMap=cs_p"));
    // Asked, it answers; with no session the line says the state did not go out.
    EXPECT_TRUE(host.hasLog("[BRV] rotate_state nao enviado (rev=1): sem conexao"));
    EXPECT_EQ(host.game().matchmaking.updates.size(), 1u);
    EXPECT_EQ(dispatch(R"({"t":"rotate_state","server":"S","from":"x","rev":9,"rotation":["a"]})"),
              brevant::handled);
    std::lock_guard lk(brevant::hostingMutex);
    EXPECT_EQ(brevant::rotationState.rotation, std::vector<std::string>{"a"});
}

TEST_F(Dispatcher, RankAckShowsItsToastOnTheGameThread) {
    dispatch(R"({"t":"rank_ack"})");
    dispatch(R"({"t":"rank_ack","status":"ok","note":"ignored"})");
    dispatch(R"({"t":"rank_ack","status":"error","note":"sem cargo"})");
    dispatch(R"({"t":"rank_ack","status":"OK"})");
    EXPECT_TRUE(host.toastTexts().empty());  // posted, not shown yet
    host.rt().runPosted();
    EXPECT_EQ(host.toastTexts(), (std::vector<std::string>{
                                     "Rank verificado e sincronizado.",
                                     "Rank verificado e sincronizado.",
                                     "Falha ao verificar rank: sem cargo",
                                     "Falha ao verificar rank: ",
                                 }));
    const auto toast = host.rt().toasts().front();
    EXPECT_EQ(toast.title, "Brevant");
    EXPECT_EQ(toast.texture, "default");
    EXPECT_FLOAT_EQ(toast.seconds, 3.5f);
    EXPECT_EQ(toast.toastType, 0);
    EXPECT_FLOAT_EQ(toast.width, 290.0f);
    EXPECT_FLOAT_EQ(toast.height, 60.0f);
}

TEST_F(Dispatcher, GameWorkIsDroppedWithoutTheGameHandle) {
    host.unload();
    dispatch(R"({"t":"rank_ack"})");
    dispatch(R"({"t":"apply_map","map":"cs_p"})");
    host.rt().runPosted();
    EXPECT_TRUE(host.toastTexts().empty());
    EXPECT_TRUE(host.game().matchmaking.updates.empty());
}

}  // namespace

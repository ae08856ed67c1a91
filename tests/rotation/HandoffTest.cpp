// Handing a map over to the other clients of the match, and sharing the rotation state, over a
// backend on loopback.
#include <fstream>

#include "core/Guard.h"
#include "net/Dispatcher.h"
#include "plugin/MessageRoutes.h"
#include "rotation/RotationEngine.h"
#include "rotation/RotationSync.h"
#include "tests/rotation/RotationFixture.h"

namespace {

using brevant::rotationState;

class Handoff : public testing_support::RotationFixture {
protected:
    void SetUp() override {
        RotationFixture::SetUp();
        host.game().leaveMatch();       // the watchdog stays out of the way of the chains
        brevant::beginHostingSeries();  // a match not entered yet: the absence does not end it
    }
    void dispatch(const std::string& text) {
        brevant::dispatchMessage(text, brevant::messageRoutes());
    }
    std::string ack(const std::string& map, std::uint32_t seq) {
        return R"({"t":"rotate_handoff_ack","ok":true,"server":"Sala","map":")" + map +
               R"(","seq":)" + std::to_string(seq) + "}";
    }
    // The "seq" of each rotate_handoff the backend has received.
    std::vector<std::string> sentSeqs() {
        std::vector<std::string> out;
        for (const auto& m : received("rotate_handoff")) {
            const auto at = m.find(R"("seq":)") + 6;
            out.push_back(m.substr(at, m.find(',', at) - at));
        }
        return out;
    }
};

TEST_F(Handoff, WithoutAnAnswerSixMessagesGoOut1500MillisecondsApart) {
    brevant::startHandoff("cs_p");
    host.advance(7.4);
    EXPECT_EQ(sentSeqs().size(), 5u);
    host.advance(0.1);
    EXPECT_EQ(sentSeqs().size(), 6u);
    host.advance(20.0);
    EXPECT_EQ(sentSeqs(), std::vector<std::string>(6, "1"));
    EXPECT_EQ(host.countLog("[BRV] handoff enviado (seq=1, next=cs_p)"), 6);
}

TEST_F(Handoff, AnAcceptedAnswerEndsTheChainAndMovesTheRotationWhenItKnowsTheMap) {
    // Over the socket: the answer is worked on the receiver thread.
    brevant::startHandoff("cs_p");
    host.advance(1.5);
    fromBackend(ack("cs_p", 1));
    EXPECT_TRUE(brevant::handoffAnswered(1));
    EXPECT_EQ(lastMap(), "cs_p");
    EXPECT_EQ(rotationState.nextIdx.load(), 0);
    EXPECT_TRUE(host.hasLog("[BRV] ACK(seq=1) -> lastMap=cs_p"));
    EXPECT_NE(host.rotationFile().find(R"("lastMap":"cs_p")"), std::string::npos);
    host.advance(12.0);
    EXPECT_EQ(sentSeqs().size(), 2u);

    // A map the list does not hold ends the chain and changes nothing else.
    brevant::startHandoff("Labs_P");
    dispatch(ack("Labs_P", 2));
    EXPECT_TRUE(brevant::handoffAnswered(2));
    EXPECT_EQ(lastMap(), "cs_p");
    EXPECT_FALSE(host.hasLog("[BRV] ACK(seq=2) -> lastMap=Labs_P"));
    host.advance(12.0);
    EXPECT_EQ(sentSeqs().size(), 3u);
}

TEST_F(Handoff, AnAnswerEndsOnlyItsOwnHandoff) {
    // Hand-off 1 is answered over the socket (the receiver thread records it); hand-off 2,
    // started after, is still unanswered and sends all six.
    brevant::startHandoff("cs_p");
    fromBackend(ack("cs_p", 1));
    brevant::startHandoff("Stadium_P");
    host.advance(9.0);
    const auto seqs = sentSeqs();
    EXPECT_EQ(std::count(seqs.begin(), seqs.end(), "1"), 1);
    EXPECT_EQ(std::count(seqs.begin(), seqs.end(), "2"), 6);
}

TEST_F(Handoff, AnswersWithoutAMapOrToAnOlderHandoffAreIgnored) {
    brevant::startHandoff("cs_p");
    host.advance(3.0);  // seq 1 sent three times
    brevant::startHandoff("Stadium_P");
    for (
        const auto& text :
        {ack("", 2), ack("cs_p", 1),
         std::string(
             R"({"t":"rotate_handoff_ack","ok":false,"server":"Sala","map":"Stadium_P","seq":2})")})
        dispatch(text);
    EXPECT_FALSE(brevant::handoffAnswered(2));
    EXPECT_EQ(lastMap(), "Stadium_P");
    EXPECT_EQ(rotationState.nextIdx.load(), 3);
    host.advance(20.0);
    // The older chain stopped when the newer one began; the newer one sent all six.
    const auto seqs = sentSeqs();
    EXPECT_EQ(std::count(seqs.begin(), seqs.end(), "1"), 3);
    EXPECT_EQ(std::count(seqs.begin(), seqs.end(), "2"), 6);
    EXPECT_EQ(host.countLog("[BRV] handoff enviado (seq=2, next=Stadium_P)"), 6);
}

TEST_F(Handoff, AHandedMapIsTriedAndAnswered) {
    host.game().enterPrivateMatch("Sala", "Stadium_P");
    const std::string by = R"({"by":")" + brevant::deviceId + R"(",)";
    fromBackend(R"({"t":"rotate_handoff","server":"Sala","nextMap":"cs_p","seq":4})");
    host.game().matchmaking.update = sdk::CallBehaviour::Refuse;
    fromBackend(R"({"t":"rotate_handoff","server":"Sala","nextMap":"Stadium_P","seq":5})");
    host.game().matchmaking.update = sdk::CallBehaviour::Succeed;
    // An empty map is nothing to apply, whatever the server; another match's map is not ours.
    fromBackend(R"({"t":"rotate_handoff","server":"Outra","nextMap":"","seq":6})");
    fromBackend(R"({"t":"rotate_handoff","server":"Outra","nextMap":"cs_p","seq":7})");
    EXPECT_EQ(
        received("rotate_handoff_ack"),
        (std::vector<std::string>{
            by + R"("map":"cs_p","ok":true,"seq":4,"server":"Sala","t":"rotate_handoff_ack"})",
            by + R"("ok":false,"seq":5,"server":"Sala","t":"rotate_handoff_ack"})",
            by + R"("ok":false,"seq":6,"server":"Outra","t":"rotate_handoff_ack"})",
        }));
    EXPECT_EQ(updates(), (std::vector<std::string>{"cs_p", "Stadium_P"}));
    EXPECT_EQ(host.countLog("[BRV] tentar aplicar: OK"), 1);
    EXPECT_EQ(host.countLog("[BRV] tentar aplicar: NAO SOU HOST"), 2);
    EXPECT_TRUE(received("rotate_handoff").empty());  // a failure here hands nothing over

    // apply_map without a map applies Stadium_P; unpaired, applyMap says why it will not.
    fromBackend(R"({"t":"apply_map"})");
    brevant::paired = false;
    fromBackend(R"({"t":"set_map","map":"cs_p"})");
    EXPECT_EQ(updates(), (std::vector<std::string>{"cs_p", "Stadium_P", "Stadium_P"}));
    EXPECT_TRUE(host.hasLog("[BRV] device n\xE3o pareado"));
}

class StateSync : public Handoff {
protected:
    void setLocal(std::uint32_t rev, std::int64_t ts) {
        std::lock_guard lk(brevant::hostingMutex);
        rotationState.rotation = brevant::rotationMapsMd5;
        rotationState.settings.MaxPlayerCount = 8;
        rotationState.rev = rev;
        rotationState.ts = ts;
    }
    std::vector<std::string> list() {
        std::lock_guard lk(brevant::hostingMutex);
        return rotationState.rotation;
    }
};

TEST_F(StateSync, ANewerStateWinsAndIsTakenOverClamped) {
    struct Case {
        std::uint32_t localRev;
        const char* fields;  // of the received rotate_state
        bool wins;
        std::int32_t maxPlayers;
    };
    const Case cases[] = {
        {5, R"("rev":5,"ts":1000,"maxPlayers":4)", false, 8},  // equal: ours stays
        {5, R"("rev":4,"ts":9000)", false, 8},
        {5, R"("rev":6,"ts":0,"maxPlayers":12)", true, 8},
        {5, R"("rev":5,"ts":1001,"maxPlayers":1)", true, 2},
        {5, R"("rev":9,"ts":1001,"rotation":[])", false, 8},
        {1, R"("ts":1000)", false, 8},  // no "rev" reads as 1
        {1, R"("ts":1001)", true, 6},   // and no "maxPlayers" as 6
    };
    for (const auto& c : cases) {
        setLocal(c.localRev, 1000);
        brevant::rotateStateRequested = true;
        const std::string fields = c.fields;
        const std::string rotation =
            fields.find("rotation") == std::string::npos ? R"(,"rotation":["A_P","B_P"])" : "";
        dispatch(
            R"({"t":"rotate_state","server":"Sala","from":"other","nextIdx":1,"lastMap":"A_P","region":2,)" +
            fields + rotation + "}");
        EXPECT_EQ(list().size(), c.wins ? 2u : 5u) << c.fields;
        EXPECT_EQ(rotationState.settings.MaxPlayerCount, c.maxPlayers) << c.fields;
        EXPECT_EQ(brevant::rotateStateRequested.load(), !c.wins) << c.fields;
        if (c.wins) {
            EXPECT_EQ(lastMap(), "A_P");
            EXPECT_EQ(rotationState.nextIdx.load(), 1);
            EXPECT_EQ(rotationState.region, 2);
        }
    }
    EXPECT_NE(host.rotationFile().find(R"("rotation":["A_P","B_P"])"), std::string::npos);
}

TEST_F(StateSync, AJoinedClientAsksOnceAndTheHostAnswersWithItsState) {
    // The host side: asked for its match, it publishes its rotation.
    fromBackend(R"({"t":"rotate_state_req","server":"Sala"})");
    fromBackend(R"({"t":"rotate_state_req","server":"Outra"})");
    EXPECT_EQ(
        received("rotate_state"),
        std::vector<std::string>{
            R"({"enabled":true,"from":")" + brevant::deviceId +
            R"(","lastMap":"Stadium_P","maxPlayers":8,"nextIdx":3,"region":9,"rev":1,"rotation":["EuroStadium_Night_P","CHN_Stadium_P","Stadium_P","UtopiaStadium_Dusk_P","cs_p"],"server":"Sala","t":"rotate_state","ts":0})"});
    EXPECT_TRUE(host.hasLog("[BRV] rotate_state broadcast (rev=1)"));

    // The joining side: the join leaves it without a rotation, so it asks, once however often
    // it checks within a few seconds.
    fromBackend(R"({"t":"join_private","to":")" + brevant::deviceId +
                R"(","server":"Sala2","password":"x"})");
    host.advance(1.0);
    brevant::requestRotationStateIfMissing(&gw());
    host.advance(3.0);
    brevant::requestRotationStateIfMissing(&gw());
    EXPECT_EQ(received("rotate_state_req"),
              std::vector<std::string>{R"({"from":")" + brevant::deviceId +
                                       R"(","server":"Sala2","t":"rotate_state_req"})"});
    EXPECT_EQ(host.countLog("[BRV] rotate_state_req enviado"), 1);
    EXPECT_TRUE(brevant::rotateStateRequested.load());
    fromBackend(
        R"({"t":"rotate_state","server":"Sala2","from":"host","rev":7,"rotation":["A_P"]})");
    EXPECT_FALSE(brevant::rotateStateRequested.load());
    EXPECT_EQ(list(), std::vector<std::string>{"A_P"});
}

TEST_F(StateSync, MembersOfTheWrongTypeDropTheMessage) {
    host.expectSwallowed("dispatch");
    setLocal(1, 0);
    brevant::startHandoff("cs_p");
    for (const char* text : {
             R"({"t":"rotate_state","server":"Sala","from":"x","rev":9,"rotation":"A_P"})",
             R"({"t":"rotate_state","server":"Sala","from":"x","rev":"9","rotation":["A_P"]})",
             R"({"t":"rotate_state","server":"Sala","from":"x","rev":9,"rotation":[1]})",
             R"({"t":"rotate_handoff_ack","ok":true,"server":"Sala","map":"cs_p","seq":"1"})",
             R"({"t":"rotate_handoff","server":"Sala","nextMap":["cs_p"],"seq":1})",
             R"({"t":"rotate_state_req","server":7})",
         })
        dispatch(text);
    host.rt().runPosted();
    EXPECT_EQ(brevant::swallowedFailures()["dispatch"], 6);
    EXPECT_EQ(list().size(), 5u);
    EXPECT_EQ(rotationState.rev.load(), 1u);
    EXPECT_FALSE(brevant::handoffAnswered(1));
    EXPECT_TRUE(host.game().matchmaking.updates.empty());
}

}  // namespace

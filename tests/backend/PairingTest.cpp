// The pairing table as the plugin sees it: GET /pair-status and the WebSocket hello.
#include <gtest/gtest.h>

#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

TEST_F(BackendTest, PairStatusAnswersFromThePairingTableWithTheIdentifierDecoded) {
    ASSERT_TRUE(start());
    // A space, a plus sign and a UTF-8 letter, as the plugin encodes them.
    server_->pair("dev one+\xC3\xA9", "alice");
    const auto paired = httpGet(ports().pair, "/pair-status?deviceId=dev%20one%2B%C3%A9");
    ASSERT_TRUE(paired.answered);
    EXPECT_EQ(paired.status, 200u);
    EXPECT_EQ(paired.json(), Json({{"registered", true}}));
    // "+" is a plus sign, not a space; other parameters do not matter.
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?x=1&deviceId=dev%20one+%c3%a9").json(),
              Json({{"registered", true}}));

    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=DEV%20ONE%2B%C3%A9").json(),
              Json({{"registered", false}}));
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=").json(),
              Json({{"registered", false}}));

    EXPECT_EQ(server_->runCommand("unpair \"dev one+\xC3\xA9\""), "unpaired dev one+\xC3\xA9");
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=dev%20one%2B%C3%A9").json(),
              Json({{"registered", false}}));
    EXPECT_TRUE(server_->waitForLog("pair-status device=dev one+", kWait));
}

TEST_F(BackendTest, PairStatusRefusesQueriesItCannotRead) {
    ASSERT_TRUE(start());
    EXPECT_EQ(httpGet(ports().pair, "/pair-status").status, 400u);
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=a%G1").status, 400u);
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=a%4").status, 400u);
    EXPECT_EQ(httpPost(ports().pair, "/pair-status?deviceId=a", "").status, 405u);
    EXPECT_EQ(httpGet(ports().pair, "/nothing").status, 404u);
    // Each endpoint lives on its own port only.
    EXPECT_EQ(httpGet(ports().rank, "/pair-status?deviceId=a").status, 404u);
    EXPECT_EQ(httpGet(ports().pair, "/ws").status, 426u);
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=a").status, 200u);
}

TEST_F(BackendTest, HelloIsAnsweredWithThePairingStateAndChangesAreToldAtOnce) {
    ASSERT_TRUE(start());
    server_->pair("devB", "bob");
    WsClient a(ports().ws);
    WsClient b(ports().ws);
    ASSERT_TRUE(a.connected() && b.connected());
    a.hello("devA", "epic");
    b.hello("devB");
    ASSERT_TRUE(a.waitForType("pair_required"));
    ASSERT_TRUE(b.waitForType("paired_ok"));
    EXPECT_EQ(a.messages().front(), R"({"t":"pair_required"})");
    EXPECT_EQ(b.messages().front(), R"({"t":"paired_ok"})");

    // The community's /addpair, then its removal, reach the connected device only.
    EXPECT_EQ(server_->runCommand("pair devA Some User"), "paired devA");
    const auto okAt = a.waitForType("paired_ok");
    ASSERT_TRUE(okAt);
    EXPECT_EQ(server_->runCommand("unpair devA"), "unpaired devA");
    EXPECT_TRUE(a.waitForType("pair_required", *okAt + 1));
    // Whatever was meant for devA reached b before this ping, if at all.
    server_->runCommand("ping devB");
    EXPECT_EQ(b.waitForType("ping"), 1u);

    const auto hellos = server_->hellos();
    ASSERT_EQ(hellos.size(), 2u);
    const auto& helloA = hellos[0].deviceId == "devA" ? hellos[0] : hellos[1];
    EXPECT_EQ(helloA.platform, "epic");
    EXPECT_EQ(helloA.version, "0.0.2");
    EXPECT_EQ(helloA.steamId, "76561198000000001");
    EXPECT_EQ(server_->runCommand("pairs").find("devA"), std::string::npos);
    EXPECT_NE(server_->runCommand("pairs").find("devB -> bob"), std::string::npos);
}

// A backend that goes away and comes back is where it was and knows what it knew.
TEST_F(BackendTest, AStoppedServerStartsAgainOnItsPortsWithWhatItKnew) {
    ASSERT_TRUE(start());
    server_->pair("devB", "bob");
    const auto before = ports();
    server_->stop();
    EXPECT_FALSE(httpGet(before.pair, "/pair-status?deviceId=devB").answered);
    ASSERT_TRUE(server_->start());
    EXPECT_EQ(ports().ws, before.ws);
    EXPECT_EQ(ports().upload, before.upload);
    WsClient b(before.ws);
    ASSERT_TRUE(b.connected());
    b.hello("devB");
    EXPECT_TRUE(b.waitForType("paired_ok"));
}

}  // namespace
}  // namespace backend_test

// The WebSocket channel: relays between the clients of one match, orders on command, records,
// and input that must not hurt a session.
#include <algorithm>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

bool isRotation(const std::string& m) {
    return typeOf(m).rfind("rotate_", 0) == 0;
}

class ChannelTest : public BackendTest {
protected:
    // Everything the backend queued for `device` before this call has arrived once the returned
    // ping has: the messages in [from, returned index) are all it got.
    std::size_t barrier(WsClient& client, const std::string& device, std::size_t from) {
        EXPECT_EQ(server_->runCommand("ping " + device).rfind("sent to", 0), 0u);
        const auto at = client.waitForType("ping", from);
        EXPECT_TRUE(at);
        return at.value_or(0);
    }
};

TEST_F(ChannelTest, RotationMessagesGoToTheOtherClientsOfTheSameServerOnly) {
    start();
    WsClient a(ports().ws), b(ports().ws), c(ports().ws);
    a.hello("devA");
    b.hello("devB");
    c.hello("devC");
    ASSERT_TRUE(a.waitForType("pair_required") && b.waitForType("pair_required") &&
                c.waitForType("pair_required"));
    // a and b learn their server from orders, c from a message of its own.
    server_->runCommand("create devA Final pw 5 6");
    server_->runCommand("join devB Final pw");
    c.send(R"({"t":"rotate_state_req","server":"Other","from":"devC"})");
    ASSERT_TRUE(server_->waitForLog("rotate_state_req server='Other' relayed to nobody", kWait));

    const std::string state =
        R"({"enabled":true,"from":"devA","lastMap":"Stadium_P","rev":3,"rotation":["Stadium_P","Park_P"],"server":"Final","t":"rotate_state"})";
    a.send(state);
    const auto atB = b.waitFor(isRotation);
    ASSERT_TRUE(atB);
    EXPECT_EQ(b.messages()[*atB], state);  // relayed unchanged
    ASSERT_TRUE(
        server_->waitForLog("ws#1[devA] rotate_state server='Final' relayed to ws#2[devB]", kWait));

    const std::string ack =
        R"({"by":"devB","map":"Park_P","ok":true,"seq":4,"server":"Final","t":"rotate_handoff_ack"})";
    b.send(ack);
    const auto atA = a.waitFor(isRotation);
    ASSERT_TRUE(atA);
    EXPECT_EQ(a.messages()[*atA], ack);

    // Nothing else: not back to the senders, nothing to the client of another server.
    const auto endA = barrier(a, "devA", 0);
    const auto endB = barrier(b, "devB", 0);
    const auto endC = barrier(c, "devC", 0);
    const auto rotations = [](const WsClient& client, std::size_t end) {
        const auto all = client.messages();
        return std::count_if(all.begin(), all.begin() + end, isRotation);
    };
    EXPECT_EQ(rotations(a, endA), 1);
    EXPECT_EQ(rotations(b, endB), 1);
    EXPECT_EQ(rotations(c, endC), 0);

    // A client that names a server in its own message joins that server's relays.
    c.send(R"({"t":"rotate_state_req","server":"Final","from":"devC"})");
    EXPECT_TRUE(a.waitFor([](const std::string& m) { return m.find("devC") != m.npos; }));
    EXPECT_TRUE(b.waitFor([](const std::string& m) { return m.find("devC") != m.npos; }));
}

TEST_F(ChannelTest, OrdersReachTheChosenDeviceAsCompactJson) {
    start();
    WsClient a(ports().ws), b(ports().ws);
    a.hello("devA");
    b.hello("devB");
    ASSERT_TRUE(a.waitForType("pair_required") && b.waitForType("pair_required"));

    server_->runCommand("create devA \"Grand Final\" secret 7 4");
    server_->runCommand("join devA Final");
    server_->runCommand("map devA Park_P");
    server_->runCommand("set-map devA Wasteland_P");
    server_->runCommand("rank-ack devA error Cargo nao encontrado");
    server_->runCommand(R"(send devA {"t":"custom", "x": [1, 2]})");
    const auto end = barrier(a, "devA", 1);
    const std::vector<std::string> expected = {
        R"({"bestOf":7,"maxPlayers":4,"password":"secret","region":"SAM","rotate":true,"serverName":"Grand Final","t":"create_private"})",
        R"({"serverName":"Final","t":"join_private","to":"devA"})",
        R"({"map":"Park_P","t":"apply_map"})",
        R"({"map":"Wasteland_P","t":"set_map"})",
        R"({"note":"Cargo nao encontrado","status":"error","t":"rank_ack"})",
        R"({"t":"custom", "x": [1, 2]})",
    };
    const auto got = a.messages();
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.begin() + end), expected);
    EXPECT_EQ(barrier(b, "devB", 1), 1u);  // b got none of them

    const auto clients = server_->clients();
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(clients[0].server, "Final");  // the last order that named one
    EXPECT_EQ(clients[1].server, "");
}

TEST_F(ChannelTest, CreateAcksAndGameResultsAreRecordedWithTheirDevice) {
    start();
    WsClient a(ports().ws);
    a.hello("devA");
    ASSERT_TRUE(a.waitForType("pair_required"));
    a.send(R"({"t":"create_ack","ok":false})");
    const Json result = {{"t", "game_result"},  {"blueGoals", 3},
                         {"orangeGoals", 1},    {"winner", "blue"},
                         {"server", "Final"},   {"mapCode", "Park_P"},
                         {"mapName", "Park_P"}, {"region", 9},
                         {"finishedAt", 1234},  {"deviceId", "devA"},
                         {"version", "0.0.2"},  {"players", {{{"name", "x"}, {"team", "blue"}}}}};
    a.send(result.dump());
    a.send(R"({"t":"create_ack","ok":true})");
    ASSERT_TRUE(server_->waitUntil([&] { return server_->createAcks().size() == 2; }, kWait));
    EXPECT_FALSE(server_->createAcks()[0].ok);
    EXPECT_TRUE(server_->createAcks()[1].ok);
    EXPECT_EQ(server_->createAcks()[1].deviceId, "devA");
    ASSERT_EQ(server_->gameResults().size(), 1u);
    EXPECT_EQ(server_->gameResults()[0].message, result);
    EXPECT_EQ(server_->gameResults()[0].deviceId, "devA");
    EXPECT_EQ(server_->clients()[0].server, "Final");
    EXPECT_NE(server_->runCommand("results").find("\"winner\":\"blue\""), std::string::npos);
}

TEST_F(ChannelTest, BadInputIsLoggedAndDroppedWhileTheSessionGoesOn) {
    options_.maxWsMessageBytes = 64 * 1024;
    start();
    WsClient a(ports().ws);
    ASSERT_TRUE(a.connected());
    const std::string inputs[] = {
        "not json",
        "[1,2]",
        "{}",
        R"({"t":5})",
        R"({"t":"hello","deviceId":7})",
        R"({"t":"hello"})",
        R"({"t":"rotate_state","server":3})",
        R"({"t":"rotate_handoff","server":"S","seq":"1"})",
        R"({"t":"create_ack","ok":"yes"})",
        R"({"t":"game_result","blueGoals":"3"})",
        R"({"t":"Hello","deviceId":"x"})",
        std::string(20000, '[') + std::string(20000, ']'),
        R"({"t":"hello","deviceId":")" + std::string(100 * 1024, 'x') + "\"}",
    };
    const std::size_t mark = server_->logCount();
    for (const std::string& text : inputs)
        a.send(text);
    a.send(R"({"t":"pong"})");
    ASSERT_TRUE(server_->waitForLog("ws#1 pong", kWait, mark));
    std::size_t ignored = 0;
    for (const std::string& line : server_->logLines())
        ignored += line.find("ws#1 ignored: ") != std::string::npos;
    EXPECT_EQ(ignored, std::size(inputs));
    EXPECT_TRUE(server_->hellos().empty());
    EXPECT_TRUE(server_->createAcks().empty());
    EXPECT_TRUE(server_->gameResults().empty());

    // The session still works, and nothing was answered before (not even the pong).
    a.hello("devA");
    EXPECT_EQ(a.waitForType("pair_required"), 0u);
    WsClient b(ports().ws);
    b.hello("devB");
    EXPECT_TRUE(b.waitForType("pair_required"));
}

TEST_F(ChannelTest, PingsGoOutOnTheirPeriod) {
    options_.pingPeriod = std::chrono::milliseconds(20);
    start();
    WsClient a(ports().ws);
    const auto first = a.waitForType("ping");
    ASSERT_TRUE(first);
    EXPECT_TRUE(a.waitForType("ping", *first + 1));
    EXPECT_EQ(a.messages()[*first], R"({"t":"ping"})");
}

TEST_F(ChannelTest, CommandsRefuseBadInputAndTheServerGoesOn) {
    start();
    const std::string bad[] = {"",
                               "   ",
                               "nope",
                               "pair",
                               "unpair nobody",
                               "create devA",
                               "create devA S pw five",
                               "create devA S pw 5 6 extra",
                               "send devA",
                               "pair \"unterminated",
                               "ping ghost",
                               "map ghost Park_P",
                               "fail-rank lowercase"};
    for (const std::string& line : bad)
        EXPECT_EQ(server_->runCommand(line).rfind("error: ", 0), 0u) << line;
    EXPECT_NE(server_->runCommand("help").find("create DEVICE SERVER"), std::string::npos);

    // The same commands over the admin route.
    const auto refused = httpPost(ports().pair, "/admin", "nope");
    EXPECT_EQ(refused.status, 400u);
    EXPECT_EQ(refused.body.rfind("error: ", 0), 0u);
    EXPECT_EQ(httpPost(ports().pair, "/admin", "pair devX\nunpair devX").status, 400u);
    EXPECT_EQ(httpGet(ports().pair, "/admin").status, 405u);
    EXPECT_EQ(httpPost(ports().upload, "/admin", "pair devX").status, 404u);
    const auto paired = httpPost(ports().pair, "/admin", "pair devX \"Some One\"\n");
    EXPECT_EQ(paired.status, 200u);
    EXPECT_TRUE(server_->isPaired("devX"));
    EXPECT_NE(httpPost(ports().pair, "/admin", "pairs").body.find("devX -> \"Some One\""),
              std::string::npos);
}

TEST_F(ChannelTest, APortInUseIsReportedWithTheFix) {
    start();
    brevant::backend::Options second = options_;
    second.rankPort = ports().rank;
    brevant::backend::Server other(second);
    std::string error;
    EXPECT_FALSE(other.start(&error));
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(ports().rank)), std::string::npos) << error;
    EXPECT_NE(error.find("POST /rank-submit"), std::string::npos) << error;
    EXPECT_NE(error.find("free port"), std::string::npos) << error;
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=x").status, 200u);
}

TEST_F(ChannelTest, StopEndsTheSessionsAndCanBeRepeated) {
    start();
    WsClient a(ports().ws);
    a.hello("devA");
    ASSERT_TRUE(a.waitForType("pair_required"));
    server_->stop();
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(server_->clients().empty());
    server_->stop();
    EXPECT_FALSE(httpGet(ports().pair, "/pair-status?deviceId=x").answered);
}

}  // namespace
}  // namespace backend_test

// The WebSocket channel: relays between the clients of one match, orders on command, records,
// and input that must not hurt a session.
#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/Console.h"
#include "plugin/MessageRoutes.h"
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
    ASSERT_TRUE(start());
    // Relays are between paired devices only.
    for (const char* device : {"devA", "devB", "devC"})
        server_->pair(device);
    WsClient a(ports().ws), b(ports().ws), c(ports().ws);
    a.hello("devA");
    b.hello("devB");
    c.hello("devC");
    ASSERT_TRUE(a.waitForType("paired_ok") && b.waitForType("paired_ok") &&
                c.waitForType("paired_ok"));
    // a and b learn their server from orders, c from a message of its own.
    server_->runCommand("create devA Final pw 5 6");
    server_->runCommand("join devB Final pw");
    c.send(R"({"t":"rotate_state_req","server":"Other","from":"devC"})");
    ASSERT_TRUE(server_->waitForLog("rotate_state_req server='Other' from='devC' relayed to nobody",
                                    kWait));

    const std::string state =
        R"({"enabled":true,"from":"devA","lastMap":"Stadium_P","rev":3,"rotation":["Stadium_P","Park_P"],"server":"Final","t":"rotate_state"})";
    a.send(state);
    const auto atB = b.waitFor(isRotation);
    ASSERT_TRUE(atB);
    EXPECT_EQ(b.messages()[*atB], state);  // relayed unchanged
    ASSERT_TRUE(
        server_->waitForLog("ws#1[devA] rotate_state server='Final' rev=3 nextIdx=? "
                            "lastMap='Stadium_P' maps=2 relayed to ws#2[devB]",
                            kWait));

    const std::string ack =
        R"({"by":"devB","map":"Park_P","ok":true,"seq":4,"server":"Final","t":"rotate_handoff_ack"})";
    b.send(ack);
    const auto atA = a.waitFor(isRotation);
    ASSERT_TRUE(atA);
    EXPECT_EQ(a.messages()[*atA], ack);

    // Nothing else: not back to the senders, nothing to the client of another server.
    const auto rotations = [](const WsClient& client, std::size_t from, std::size_t end) {
        const auto all = client.messages();
        return std::count_if(all.begin() + from, all.begin() + end, isRotation);
    };
    const auto endA = barrier(a, "devA", 0);
    const auto endB = barrier(b, "devB", 0);
    const auto endC = barrier(c, "devC", 0);
    EXPECT_EQ(rotations(a, 0, endA), 1);
    EXPECT_EQ(rotations(b, 0, endB), 1);
    EXPECT_EQ(rotations(c, 0, endC), 0);

    // A client that names a server in its own message joins that server's relays: its request
    // reaches a and b, and what a sends next reaches c as well as b.
    const std::size_t markA = endA + 1, markB = endB + 1, markC = endC + 1;
    const std::string request = R"({"from":"devC","server":"Final","t":"rotate_state_req"})";
    c.send(request);
    const auto requestAtA = a.waitFor(isRotation, markA);
    const auto requestAtB = b.waitFor(isRotation, markB);
    ASSERT_TRUE(requestAtA && requestAtB);
    EXPECT_EQ(a.messages()[*requestAtA], request);
    EXPECT_EQ(b.messages()[*requestAtB], request);

    const std::string handoff =
        R"({"from":"devA","map":"Park_P","nextIdx":1,"seq":5,"server":"Final","t":"rotate_handoff"})";
    a.send(handoff);
    const auto handoffAtC = c.waitFor(isRotation, markC);
    const auto handoffAtB = b.waitFor(isRotation, *requestAtB + 1);
    ASSERT_TRUE(handoffAtC && handoffAtB);
    EXPECT_EQ(c.messages()[*handoffAtC], handoff);
    EXPECT_EQ(b.messages()[*handoffAtB], handoff);
    ASSERT_TRUE(
        server_->waitForLog("ws#1[devA] rotate_handoff server='Final' seq=5 nextMap=? relayed to "
                            "ws#2[devB], ws#3[devC]",
                            kWait));

    // Again nothing else: each got exactly what the others of its server sent.
    EXPECT_EQ(rotations(a, markA, barrier(a, "devA", markA)), 1);  // the request
    EXPECT_EQ(rotations(b, markB, barrier(b, "devB", markB)), 2);  // the request and the handoff
    EXPECT_EQ(rotations(c, markC, barrier(c, "devC", markC)), 1);  // the handoff

    // The console lists each relayed message with what tells it apart.
    EXPECT_NE(server_->runCommand("rotation")
                  .find("device=devB rotate_handoff_ack server='Final' seq=4 ok=true "
                        "map='Park_P' -> ws#1[devA]"),
              std::string::npos);
}

TEST_F(ChannelTest, RotationMessagesBeforeHelloAreNotRelayed) {
    ASSERT_TRUE(start());
    server_->pair("devA");
    server_->pair("devS");
    WsClient a(ports().ws), stranger(ports().ws);
    a.hello("devA");
    ASSERT_TRUE(a.waitForType("paired_ok"));
    server_->runCommand("create devA Final");
    ASSERT_TRUE(stranger.connected());

    const std::string state = R"({"from":"x","rev":9,"server":"Final","t":"rotate_state"})";
    stranger.send(state);
    ASSERT_TRUE(server_->waitForLog("ws#2 ignored: rotate_state before hello, not relayed", kWait));
    const auto end = barrier(a, "devA", 0);
    const auto got = a.messages();
    EXPECT_EQ(std::count_if(got.begin(), got.begin() + end, isRotation), 0);
    for (const auto& client : server_->clients())
        EXPECT_EQ(client.server, client.connection == 1 ? "Final" : "");

    // Once it said hello, the same message is relayed.
    stranger.hello("devS");
    ASSERT_TRUE(stranger.waitForType("paired_ok"));
    stranger.send(state);
    const auto at = a.waitFor(isRotation);
    ASSERT_TRUE(at);
    EXPECT_EQ(a.messages()[*at], state);
}

TEST_F(ChannelTest, UpgradesFromWebPagesAreRefused) {
    ASSERT_TRUE(start());
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    for (const char* origin : {"Origin: http://evil.example\r\n", "Origin: null\r\n",
                               "Origin: http://127.0.0.1\r\n", "Origin:\r\nOrigin: x\r\n"}) {
        const std::string answer = rawResponseHead(ports().ws, upgrade + origin + "\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 403 ", 0), 0u) << origin << answer;
    }
    EXPECT_TRUE(server_->waitForLog("-> 403: WebSocket upgrades from web pages", kWait));
    // The plugin sends no Origin; an empty one is no web page either.
    for (const char* origin : {"", "Origin:\r\n"}) {
        const std::string answer = rawResponseHead(ports().ws, upgrade + origin + "\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 101 ", 0), 0u) << origin << answer;
    }
}

TEST_F(ChannelTest, HelloWithAnOverlongMemberIsIgnored) {
    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    ASSERT_TRUE(a.connected());
    const std::size_t mark = server_->logCount();
    a.hello(std::string(brevant::backend::kMaxHelloFieldBytes + 1, 'd'));
    a.hello("devA", std::string(brevant::backend::kMaxHelloFieldBytes + 1, 'p'));
    a.send(R"({"t":"pong"})");
    ASSERT_TRUE(server_->waitForLog("ws#1 pong", kWait, mark));
    EXPECT_TRUE(server_->waitForLog(
        "ws#1 ignored: hello: \"deviceId\" of 129 bytes, over the limit of 128", kWait, mark));
    EXPECT_TRUE(server_->waitForLog("ws#1 ignored: hello: \"platform\" of 129 bytes", kWait, mark));
    EXPECT_TRUE(server_->hellos().empty());

    // At the limit it is accepted.
    const std::string longest(brevant::backend::kMaxHelloFieldBytes, 'd');
    a.hello(longest);
    EXPECT_EQ(a.waitForType("pair_required"), 0u);
    ASSERT_EQ(server_->hellos().size(), 1u);
    EXPECT_EQ(server_->hellos()[0].deviceId, longest);
}

TEST_F(ChannelTest, RecordListsKeepTheirLatestEntries) {
    EXPECT_EQ(brevant::backend::Options{}.maxRecords, 1000u);
    options_.maxRecords = 3;
    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    ASSERT_TRUE(a.connected());
    for (int i = 0; i < 5; ++i) {
        const std::string n = std::to_string(i);
        a.hello("dev" + n);
        a.send(R"({"t":"create_ack","ok":true})");
        a.send(R"({"t":"game_result","server":"S)" + n + R"("})");
        httpPost(ports().rank, "/rank-submit", R"({"deviceId":"dev)" + n + R"(","ranks":[]})");
    }
    const std::size_t mark = server_->logCount();
    a.send(R"({"t":"pong"})");
    ASSERT_TRUE(server_->waitForLog("pong", kWait, mark));

    const auto hellos = server_->hellos();
    const auto acks = server_->createAcks();
    const auto results = server_->gameResults();
    const auto submissions = server_->rankSubmissions();
    ASSERT_EQ(hellos.size(), 3u);
    ASSERT_EQ(acks.size(), 3u);
    ASSERT_EQ(results.size(), 3u);
    ASSERT_EQ(submissions.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string device = "dev" + std::to_string(i + 2);
        EXPECT_EQ(hellos[i].deviceId, device);
        EXPECT_EQ(acks[i].deviceId, device);
        EXPECT_EQ(results[i].message["server"], "S" + std::to_string(i + 2));
        EXPECT_EQ(submissions[i].deviceId, device);
    }
}

TEST_F(ChannelTest, OrdersReachTheChosenDeviceAsCompactJson) {
    ASSERT_TRUE(start());
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
    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    a.hello("devA");
    ASSERT_TRUE(a.waitForType("pair_required"));
    a.send(R"({"t":"create_ack","ok":false})");
    Json result = {{"t", "game_result"},  {"blueGoals", 3},     {"orangeGoals", 1},
                   {"winner", "blue"},    {"server", "Final"},  {"mapCode", "Park_P"},
                   {"mapName", "Park_P"}, {"region", 9},        {"finishedAt", 1234},
                   {"deviceId", "devA"},  {"version", "0.0.2"}, {"players", Json::array()}};
    result["players"] = {
        {{"name", "x"}, {"team", "blue"}},
        {{"epicId", ""}, {"name", "Ana"}, {"steamId", "76561198012345678"}, {"team", "blue"}},
        {{"epicId", "ab\ncd"}, {"name", "Bo"}, {"steamId", "0"}, {"team", "orange"}}};
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
    // The listing: map, score, winner, then one row per player with the id it carries; client
    // text escaped.
    EXPECT_NE(server_->runCommand("results").find(
                  " device=devA server='Final' map=Park_P blue 3-1 orange, winner=blue region=9"
                  " finishedAt=1234\n"
                  "    blue 'x' (no id)\n"
                  "    blue 'Ana' steam 76561198012345678\n"
                  "    orange 'Bo' epic ab\\ncd"),
              std::string::npos)
        << server_->runCommand("results");
}

TEST_F(ChannelTest, BadInputIsLoggedAndDroppedWhileTheSessionGoesOn) {
    options_.maxWsMessageBytes = 64 * 1024;
    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    ASSERT_TRUE(a.connected());
    const std::string inputs[] = {
        "not json",
        "[1,2]",
        "{}",
        R"({"t":5})",
        R"({"t":"hello","deviceId":7})",
        R"({"t":"hello"})",
        R"({"t":"rotate_state","server":"S"})",  // before hello
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

    // After the hello, rotation messages are checked member by member.
    const std::size_t afterHello = server_->logCount();
    const std::string rotations[] = {
        R"({"t":"rotate_state","server":3})",
        R"({"t":"rotate_handoff","server":"S","seq":"1"})",
        R"({"t":"rotate_handoff_ack","ok":true})",
    };
    for (const std::string& text : rotations)
        a.send(text);
    a.send(R"({"t":"pong"})");
    ASSERT_TRUE(server_->waitForLog("ws#1[devA] pong", kWait, afterHello));
    for (const char* why :
         {"rotate_state: \"server\" is not a string", "rotate_handoff: \"seq\" is not an integer",
          "rotate_handoff_ack without a server name, not relayed"})
        EXPECT_TRUE(
            server_->waitForLog(std::string("ws#1[devA] ignored: ") + why, kWait, afterHello))
            << why;
}

// The period itself is not measured (timing on a loaded machine proves little): a 20 ms period
// must give at least two pings within the wait.
TEST_F(ChannelTest, PingsGoOutRepeatedly) {
    options_.pingPeriod = std::chrono::milliseconds(20);
    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    const auto first = a.waitForType("ping");
    ASSERT_TRUE(first);
    EXPECT_TRUE(a.waitForType("ping", *first + 1));
    EXPECT_EQ(a.messages()[*first], R"({"t":"ping"})");
}

TEST_F(ChannelTest, CommandsRefuseBadInputAndTheServerGoesOn) {
    ASSERT_TRUE(start());
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
                               "fail-rank lowercase",
                               "quit"};  // the program's console ends on it; here it is refused
    for (const std::string& line : bad)
        EXPECT_EQ(server_->runCommand(line).rfind("error: ", 0), 0u) << line;
    EXPECT_NE(server_->runCommand("help").find("create DEVICE SERVER"), std::string::npos);
    EXPECT_NE(server_->runCommand("help").find("\n  quit\n"), std::string::npos);

    // The same commands over the admin route.
    const auto refused = adminPost(ports().pair, "nope");
    EXPECT_EQ(refused.status, 400u);
    EXPECT_EQ(refused.body.rfind("error: ", 0), 0u);
    EXPECT_EQ(adminPost(ports().pair, "pair devX\nunpair devX").status, 400u);
    EXPECT_EQ(httpGet(ports().pair, "/admin").status, 405u);
    EXPECT_EQ(adminPost(ports().upload, "pair devX").status, 404u);
    const auto paired = adminPost(ports().pair, "pair devX \"Some One\"\n");
    EXPECT_EQ(paired.status, 200u);
    EXPECT_TRUE(server_->isPaired("devX"));
    EXPECT_NE(adminPost(ports().pair, "pairs").body.find("devX -> \"Some One\""),
              std::string::npos);
}

TEST_F(ChannelTest, AdminRouteRefusesWhatAWebPageCouldSend) {
    ASSERT_TRUE(start());
    const std::uint16_t port = ports().pair;
    const std::string portText = std::to_string(port);
    // A cross-origin "simple" POST: text/plain, no custom header, an Origin.
    const auto simple = httpPost(port, "/admin", "pair devEvil",
                                 "Content-Type: text/plain\r\nOrigin: http://evil.example\r\n");
    EXPECT_EQ(simple.status, 403u);
    const auto noHeader = httpPost(port, "/admin", "pair devEvil");
    EXPECT_EQ(noHeader.status, 403u);
    EXPECT_NE(noHeader.body.find("X-Brevant-Admin: 1"), std::string::npos) << noHeader.body;
    EXPECT_EQ(httpPost(port, "/admin", "pair devEvil", "X-Brevant-Admin: yes\r\n").status, 403u);
    // Even with the header, an Origin (of any value) gives a browser away.
    for (const std::string& origin : {"http://127.0.0.1:" + portText, std::string("null")})
        EXPECT_EQ(httpPost(port, "/admin", "pair devEvil",
                           "X-Brevant-Admin: 1\r\nOrigin: " + origin + "\r\n")
                      .status,
                  403u)
            << origin;

    // DNS rebinding: a page of evil.example that now resolves to loopback is same-origin with
    // the backend, but its Host is still its own name.
    const auto post = [&](const std::string& version, const std::string& hostLines,
                          const std::string& command = "pair devEvil") {
        return rawResponseHead(port, "POST /admin HTTP/" + version + "\r\n" + hostLines +
                                         "X-Brevant-Admin: 1\r\nContent-Length: " +
                                         std::to_string(command.size()) + "\r\n\r\n" + command);
    };
    for (const std::string& host :
         std::vector<std::string>{"evil.example:" + portText, "127.0.0.1.evil.example",
                                  "localhost.evil.example", "0x7f000001", "127.0.0.1:99999"})
        EXPECT_EQ(post("1.1", "Host: " + host + "\r\n").rfind("HTTP/1.1 403 ", 0), 0u) << host;
    EXPECT_EQ(post("1.0", "").rfind("HTTP/1.0 403 ", 0), 0u);  // no Host at all
    EXPECT_EQ(post("1.1", "Host: 127.0.0.1\r\nHost: evil.example\r\n").rfind("HTTP/1.1 403 ", 0),
              0u);
    // The preflight a browser would need for the header is never approved.
    const std::string preflight = rawResponseHead(
        port,
        "OPTIONS /admin HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
        "Access-Control-Request-Method: POST\r\n"
        "Access-Control-Request-Headers: x-brevant-admin\r\n\r\n");
    EXPECT_EQ(preflight.rfind("HTTP/1.1 405 ", 0), 0u) << preflight;
    EXPECT_EQ(preflight.find("Access-Control-"), std::string::npos) << preflight;
    EXPECT_FALSE(server_->isPaired("devEvil"));
    EXPECT_TRUE(server_->waitForLog("-> 403: the admin route needs Host", kWait));

    // A script on this machine names a loopback literal.
    for (const std::string& host :
         std::vector<std::string>{"127.0.0.1:" + portText, "127.8.9.10", "LocalHost",
                                  "localhost:" + portText, "[::1]", "[::1]:" + portText})
        EXPECT_EQ(post("1.1", "Host: " + host + "\r\n", "pair devLocal").rfind("HTTP/1.1 200 ", 0),
                  0u)
            << host;
    EXPECT_TRUE(server_->isPaired("devLocal"));
    EXPECT_FALSE(server_->isPaired("devEvil"));
}

TEST_F(ChannelTest, APortInUseIsReportedWithTheFix) {
    ASSERT_TRUE(start());
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
    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    a.hello("devA");
    ASSERT_TRUE(a.waitForType("pair_required"));
    server_->stop();
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(server_->clients().empty());
    server_->stop();
    EXPECT_FALSE(httpGet(ports().pair, "/pair-status?deviceId=x").answered);
}

// Every message the backend sends a client of its own accord (each console order aimed at a
// device, the pairing news, the ping) has a route in the plugin's catalogue: the plugin never
// drops one of them as unknown. The orders come from the console's own list, their arguments
// made up from its usage lines, so an order added later is checked too.
TEST_F(ChannelTest, EveryMessageTheBackendSendsHasARouteInThePlugin) {
    ASSERT_TRUE(start());
    WsClient client(ports().ws);
    client.hello("devA");
    ASSERT_TRUE(client.waitForType("pair_required"));
    std::istringstream help(brevant::backend::Console::help());
    int orders = 0;
    for (std::string usage; std::getline(help, usage);) {
        std::istringstream words(usage);
        std::string command, device, word, line;
        // "send" passes on whatever text it is given; it is not an order of its own.
        if (!(words >> command >> device) || device != "DEVICE" || command == "send")
            continue;
        line = command + " devA";
        while (words >> word && word.front() != '[')
            line += word == "BESTOF" || word == "MAXPLAYERS" ? " 5" : " Park_P";
        const std::size_t before = client.count();
        EXPECT_EQ(server_->runCommand(line).find("error"), std::string::npos) << line;
        EXPECT_TRUE(client.waitFor([](const std::string&) { return true; }, before)) << line;
        ++orders;
    }
    EXPECT_GE(orders, 8);  // pair, unpair, create, join, map, set-map, rank-ack, ping

    const auto routes = brevant::messageRoutes();
    for (const std::string& message : client.messages()) {
        const std::string type = typeOf(message);
        EXPECT_TRUE(std::any_of(routes.begin(), routes.end(), [&](const auto& route) {
            return route.type == type;
        })) << message;
    }
}

}  // namespace
}  // namespace backend_test

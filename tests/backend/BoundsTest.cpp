// What a hostile client cannot do to the backend: make it queue without end, take every
// connection, hold a connection with a request head that never ends, join relays unpaired,
// share another connection's orders, or write into the operator's console. Uploads are in
// UploadTest.cpp.
//
// None of these tests runs out of descriptors (the connection cap is 4 here), so they need no
// build without UBSan.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/Text.h"
#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

using namespace std::chrono_literals;

class BoundsTest : public BackendTest {
protected:
    // An upload whose head was read (the server said 100 Continue) and whose body stops after
    // its first 20 bytes.
    const std::string kUploadBody =
        "--x\r\nContent-Disposition: form-data; name=\"deviceId\"\r\n\r\ndevU\r\n--x\r\n"
        "Content-Disposition: form-data; name=\"file\"; filename=\"r.replay\"\r\n\r\ndata\r\n"
        "--x--\r\n";
    void startUpload(TcpClient& upload) {
        upload.send(
            "POST /upload-replay HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Content-Type: multipart/form-data; boundary=x\r\n"
            "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n"
            "Expect: 100-continue\r\nConnection: close\r\nContent-Length: " +
            std::to_string(kUploadBody.size()) + "\r\n\r\n");
        ASSERT_EQ(
            upload.readUntil([](const std::string& r) { return r.find("\r\n\r\n") != r.npos; })
                .rfind("HTTP/1.1 100 ", 0),
            0u);
        upload.send(kUploadBody.substr(0, 20));
    }
    // Whether a line containing `text` was logged since `mark`, looking once.
    bool loggedSince(const std::string& text, std::size_t mark) const {
        return server_->waitForLog(text, 0ms, mark);
    }
    // Pairs the devices and says hello with each on a client of its own.
    std::vector<std::unique_ptr<WsClient>> pairedClients(std::initializer_list<const char*> ids) {
        std::vector<std::unique_ptr<WsClient>> clients;
        for (const char* id : ids) {
            server_->pair(id);
            clients.push_back(std::make_unique<WsClient>(ports().ws));
            clients.back()->hello(id);
            EXPECT_TRUE(clients.back()->waitForType("paired_ok"));
        }
        return clients;
    }
};

bool hasRev(const std::string& message, int rev) {
    const std::string key = "\"rev\":" + std::to_string(rev);
    const std::size_t at = message.find(key);
    return at != std::string::npos && at + key.size() < message.size() &&
           (message[at + key.size()] == ',' || message[at + key.size()] == '}');
}

TEST_F(BoundsTest, AStalledReaderIsDisconnectedWhileTheOthersKeepReceiving) {
    EXPECT_EQ(brevant::backend::Options{}.maxSendQueueBytes, 4u * 1024 * 1024);
    options_.maxSendQueueBytes = 256 * 1024;
    ASSERT_TRUE(start());
    auto clients = pairedClients({"devA", "devB"});
    WsClient& a = *clients[0];
    WsClient& b = *clients[1];
    server_->pair("devS");
    BareWsClient stalled(ports().ws, 4096);  // says hello, then never reads
    ASSERT_TRUE(stalled.connected());
    stalled.hello("devS");
    server_->runCommand("create devA Final");
    server_->runCommand("join devB Final");
    stalled.send(R"({"t":"rotate_state_req","server":"Final","from":"devS"})");
    ASSERT_TRUE(server_->waitForLog("[devS] rotate_state_req server='Final' from='devS' relayed to",
                                    kWait));

    // 64 KiB states until the stalled client's queue is full; b gets every one of them.
    const std::size_t mark = server_->logCount();
    const std::string padding(64 * 1024, 'p');
    std::size_t at = 0;
    int rev = 0;
    bool dropped = false;
    for (; rev < 1000 && !dropped; ++rev) {
        a.send(R"({"t":"rotate_state","server":"Final","from":"devA","rev":)" +
               std::to_string(rev) + R"(,"rotation":[")" + padding + R"("]})");
        const auto got = b.waitFor([&](const std::string& m) { return hasRev(m, rev); }, at);
        ASSERT_TRUE(got) << rev;
        at = *got + 1;
        dropped = loggedSince("[devS] disconnected: not reading: over 262144 bytes", mark);
    }
    ASSERT_TRUE(dropped);
    const std::size_t afterDrop = server_->logCount();
    a.send(R"({"t":"rotate_state","server":"Final","from":"devA","rev":-1,"rotation":[]})");
    EXPECT_TRUE(b.waitFor([](const std::string& m) { return hasRev(m, -1); }, at));
    const std::string onlyB = "maps=0 relayed to ws#2[devB]";
    EXPECT_TRUE(server_->waitForLog(
        [&](const std::string& line) {
            return line.size() >= onlyB.size() &&
                   line.compare(line.size() - onlyB.size(), onlyB.size(), onlyB) == 0;
        },
        kWait, afterDrop));
    const auto lines = server_->logLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("not reading") != l.npos; }),
              1);
}

TEST_F(BoundsTest, TheConnectionCapRefusesTheNextOneAndServesAgainOnceOneCloses) {
    EXPECT_EQ(brevant::backend::Options{}.maxConnections, 512u);
    options_.maxConnections = 4;
    ASSERT_TRUE(start());
    // Clients that said hello: none of them is idle.
    auto held = pairedClients({"dev1", "dev2", "dev3", "dev4"});
    const std::size_t mark = server_->logCount();
    // The cap counts every port together.
    EXPECT_FALSE(httpGet(ports().rank, "/rank-submit").answered);
    EXPECT_TRUE(
        server_->waitForLog("refused: 4 connections are open, the most allowed", kWait, mark));
    held.pop_back();
    ASSERT_TRUE(server_->waitForLog("disconnected: closed by the client", kWait, mark));
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=x").status, 200u);
}

// Connections that trickle their heads cannot keep the others out: at the cap the one that has
// waited longest for its head makes room, while a WebSocket client and an upload under way
// (both past their heads) stay.
TEST_F(BoundsTest, AtTheCapANewConnectionTakesThePlaceOfTheLongestWaitingHead) {
    options_.maxConnections = 4;
    ASSERT_TRUE(start());
    WsClient ws(ports().ws);
    ws.hello("devW");
    ASSERT_TRUE(ws.waitForType("pair_required"));
    TcpClient upload(ports().upload);
    startUpload(upload);
    // Two heads that never end, accepted before the next connection on the same port.
    TcpClient oldest(ports().pair), younger(ports().pair);
    oldest.send("GET /pair-status?dev");
    younger.send("GET /pair");

    const std::size_t mark = server_->logCount();
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=x").status, 200u);
    EXPECT_TRUE(oldest.closedWithin(kWait));
    EXPECT_TRUE(loggedSince("at the cap of 4 connections: closed 1 connection idle", mark));
    upload.send(kUploadBody.substr(20));
    EXPECT_NE(upload.readUntil([](const std::string&) { return false; }).find("HTTP/1.1 200 "),
              std::string::npos);
    EXPECT_EQ(server_->runCommand("ping devW"), R"(sent to devW: {"t":"ping"})");
    EXPECT_TRUE(ws.waitForType("ping"));
}

// Upgrades that never say hello and bodies that trickle in do not hold their seats: a new client
// takes the oldest's place, and the quiet upgrades are closed after helloTimeout. A client that
// said hello keeps its seat throughout.
TEST_F(BoundsTest, IdleUpgradesAndSlowBodiesGiveTheirSeatsToNewClients) {
    EXPECT_EQ(brevant::backend::Options{}.helloTimeout, 10s);
    options_.maxConnections = 4;
    options_.helloTimeout = 300ms;
    options_.slowBodyGrace = 0ms;
    options_.minBodyBytesPerSecond = 1'000'000'000;  // any body still arriving is slow
    ASSERT_TRUE(start());
    auto hello = pairedClients({"devA"});
    std::vector<std::unique_ptr<WsClient>> quiet;
    for (int i = 0; i < 3; ++i) {
        quiet.push_back(std::make_unique<WsClient>(ports().ws));
        ASSERT_TRUE(quiet.back()->connected());
    }
    std::size_t mark = server_->logCount();
    WsClient fresh(ports().ws);
    fresh.hello("devB");
    EXPECT_TRUE(fresh.waitForType("pair_required"));
    EXPECT_TRUE(server_->waitForLog("disconnected: closed at the connection cap: no hello yet",
                                    kWait, mark));
    EXPECT_TRUE(loggedSince("at the cap of 4 connections: closed 1 connection idle", mark));
    EXPECT_TRUE(server_->waitForLog(
        [n = 0](const std::string& line) mutable {
            return line.find("disconnected: no hello within 300 ms") != line.npos && ++n == 2;
        },
        kWait, mark));

    // devA, devB and two uploads that stopped after 20 bytes.
    TcpClient first(ports().upload), second(ports().upload);
    startUpload(first);
    startUpload(second);
    mark = server_->logCount();
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=x").status, 200u);
    EXPECT_TRUE(first.closedWithin(kWait));  // (its line waits out the first one's second)
    EXPECT_EQ(server_->runCommand("ping devA"), R"(sent to devA: {"t":"ping"})");
    EXPECT_TRUE(hello[0]->waitForType("ping"));
}

// Clients that said hello keep their seats at the cap only while they behave as a plugin does:
// squatters with a made-up device (never paired) or a paired one that leaves a ping unanswered
// give their seats to plugins, on the backend's clock; and one address, whose squatters may
// behave, never holds more than its share.
TEST_F(BoundsTest, HelloSquattersGiveTheirSeatsToPlugins) {
    EXPECT_EQ(brevant::backend::Options{}.maxConnectionsPerAddress, 32u);
    options_.maxConnections = 3;
    options_.maxConnectionsPerAddress = 2;
    const auto base = std::chrono::steady_clock::now();
    std::atomic<long long> elapsedMs{0};
    options_.clock = [&] { return base + std::chrono::milliseconds(elapsedMs.load()); };
    ASSERT_TRUE(start());
    for (const char* device : {"devP", "devQ", "devPlugin"})
        server_->pair(device);
    const auto hello = [](BareWsClient& client, const char* device, const char* answer) {
        client.hello(device);
        EXPECT_TRUE(client.readUntil([&](const std::string& m) { return typeOf(m) == answer; }));
    };
    BareWsClient silent(ports().ws, 0, "127.0.0.1"), madeUp(ports().ws, 0, "127.0.0.1");
    hello(silent, "devP", "paired_ok");
    hello(madeUp, "made-up", "pair_required");
    std::size_t mark = server_->logCount();
    TcpClient third(ports().pair, "127.0.0.1");
    EXPECT_TRUE(third.closedWithin(kWait));
    EXPECT_TRUE(server_->waitForLog(
        "refused: 2 connections from its address are open, the most allowed from one, none of "
        "them idle",
        kWait, mark));
    BareWsClient behaving(ports().ws, 0, "127.0.0.2");
    hello(behaving, "devQ", "paired_ok");

    server_->runCommand("ping devP");
    elapsedMs += 61'000;
    mark = server_->logCount();
    BareWsClient plugin(ports().ws, 0, "127.0.0.3"), another(ports().ws, 0, "127.0.0.3");
    hello(plugin, "devPlugin", "paired_ok");
    hello(another, "devNew", "pair_required");
    EXPECT_TRUE(server_->waitForLog(
        "[devP] disconnected: closed at the connection cap: a ping unanswered for 10000 ms", kWait,
        mark));
    EXPECT_TRUE(
        server_->waitForLog("[made-up] disconnected: closed at the connection cap: its "
                            "device not paired 60000 ms after its first hello",
                            kWait, mark));
    TcpClient last(ports().pair, "127.0.0.4");
    EXPECT_TRUE(last.closedWithin(kWait));
    EXPECT_TRUE(server_->waitForLog("refused: 3 connections are open, the most allowed, none",
                                    kWait, mark));
}

// A feeder (devA) and a reader (devR) that reads only when told, in one match: the feeder sends
// 16 KiB states until a log line containing `line` says it is no longer read; true when one did.
class FloodTest : public BoundsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(start());
        clients_ = pairedClients({"devA"});
        server_->pair("devR");
        reader_ = std::make_unique<BareWsClient>(ports().ws, 4096);
        ASSERT_TRUE(reader_->connected());
        reader_->hello("devR");
        ASSERT_TRUE(server_->waitForLog("[devR] hello", kWait));
        server_->runCommand("create devA Final");
        server_->runCommand("join devR Final");
    }

    bool floodUntil(const std::string& line) {
        const std::size_t mark = server_->logCount();
        const std::string padding(16 * 1024, 'p');
        for (int rev = 0; rev < 4000; ++rev) {
            clients_[0]->send(R"({"t":"rotate_state","server":"Final","from":"devA","rev":)" +
                              std::to_string(rev) + R"(,"rotation":[")" + padding + R"("]})");
            const std::string relayed = "rev=" + std::to_string(rev) + " ";
            if (!server_->waitForLog(
                    [&](const std::string& l) {
                        return l.find(relayed) != l.npos || l.find(line) != l.npos;
                    },
                    kWait, mark))
                return false;
            if (loggedSince(line, mark))
                return true;
        }
        return false;
    }

    // Sends a last state, which the reader gets once it reads: whether it arrived, and the log
    // by then.
    bool lastOneArrives(std::vector<std::string>& lines) {
        clients_[0]->send(
            R"({"t":"rotate_state","server":"Final","from":"devA","rev":-1,"rotation":[]})");
        const bool arrived = reader_->readUntil([](const std::string& m) { return hasRev(m, -1); });
        lines = server_->logLines();
        return arrived;
    }

    std::vector<std::unique_ptr<WsClient>> clients_;
    std::unique_ptr<BareWsClient> reader_;
};

// Once the backlog of all clients is over its budget, the clients whose relays feed it are not
// read until it drained: a state sent while paused is relayed only after that.
class BacklogBudgetTest : public FloodTest {
protected:
    void SetUp() override {
        options_.maxBacklogBytes = 32 * 1024;  // reached before the reader counts as behind
        FloodTest::SetUp();
    }
};

TEST_F(BacklogBudgetTest, StopsReadingFromAFeederUntilTheBacklogDrains) {
    EXPECT_EQ(brevant::backend::Options{}.maxBacklogBytes, 256u * 1024 * 1024);
    ASSERT_TRUE(floodUntil("bytes for the clients, over 32768: stopped reading from ws#1"));
    std::vector<std::string> lines;
    EXPECT_TRUE(lastOneArrives(lines));
    const auto find = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(text) != l.npos; });
    };
    const auto resumed = find("backlog down to");
    ASSERT_NE(resumed, lines.end());
    EXPECT_NE(resumed->find("reading again from 1 client"), std::string::npos) << *resumed;
    EXPECT_LT(resumed - lines.begin(), find("rev=-1 ") - lines.begin());
}

// Well within the budget, a feeder is not read while the client it relays to is behind (its
// writes going on), so that the backend reads no faster than its clients read; nothing is lost.
TEST_F(FloodTest, AFeederWaitsWhileTheClientItRelaysToIsBehind) {
    ASSERT_TRUE(
        floodUntil("stopped reading from ws#1 until a client it relays to, which is "
                   "behind, catches up"));
    std::vector<std::string> lines;
    EXPECT_TRUE(lastOneArrives(lines));
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("disconnected") != l.npos;
    }));
}

TEST_F(BoundsTest, ATricklingRequestHeadIsDroppedAfterTheHeadTimeout) {
    EXPECT_EQ(brevant::backend::Options{}.headTimeout, 10s);
    options_.headTimeout = 200ms;
    ASSERT_TRUE(start());
    const std::string head = "GET /pair-status?deviceId=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    TcpClient slow(ports().pair);
    ASSERT_TRUE(slow.connected());
    // One byte every 50 ms: each would renew a timeout on inactivity, never the head's.
    std::size_t sent = 0;
    bool closed = false;
    while (!closed && sent < head.size()) {
        slow.send(head.substr(sent++, 1));
        closed = slow.closedWithin(50ms);
    }
    EXPECT_TRUE(closed || slow.closedWithin(kWait));
    EXPECT_LT(sent, head.size());
    EXPECT_TRUE(
        server_->waitForLog("timed out while sending a request head (200 ms allowed)", kWait));
    EXPECT_EQ(httpGet(ports().pair, "/pair-status?deviceId=x").status, 200u);
}

TEST_F(BoundsTest, AnUnpairedClientsRotationMessagesAreNotRelayed) {
    ASSERT_TRUE(start());
    auto clients = pairedClients({"devA"});
    WsClient& a = *clients[0];
    WsClient b(ports().ws);
    b.hello("devB");  // not paired
    ASSERT_TRUE(b.waitForType("pair_required"));
    server_->runCommand("create devA Final");
    server_->runCommand("join devB Final");

    b.send(R"({"t":"rotate_state","server":"Final","from":"devB","rev":1})");
    EXPECT_TRUE(server_->waitForLog(
        "ws#2[devB] ignored: rotate_state from a device that is not paired, not relayed", kWait));
    a.send(R"({"t":"rotate_state","server":"Final","from":"devA","rev":2})");
    EXPECT_TRUE(
        server_->waitForLog("ws#1[devA] rotate_state server='Final' rev=2 nextIdx=? lastMap=? "
                            "maps=? relayed to nobody",
                            kWait));
    // Nothing reached either of them before a ping sent after both.
    for (auto [client, device] : {std::pair{&a, "devA"}, std::pair{&b, "devB"}}) {
        server_->runCommand(std::string("ping ") + device);
        const auto end = client->waitForType("ping");
        ASSERT_TRUE(end);
        const auto got = client->messages();
        EXPECT_TRUE(std::none_of(got.begin(), got.begin() + static_cast<long>(*end),
                                 [](const std::string& m) { return hasRev(m, 1) || hasRev(m, 2); }))
            << device;
    }

    // Once paired, the same client takes part.
    server_->runCommand("pair devB");
    b.send(R"({"t":"rotate_state","server":"Final","from":"devB","rev":3})");
    EXPECT_TRUE(a.waitFor([](const std::string& m) { return hasRev(m, 3); }));
}

TEST_F(BoundsTest, ASecondHelloOfAConnectedDeviceReplacesTheOlderConnection) {
    ASSERT_TRUE(start());
    server_->pair("devA");
    BareWsClient older(ports().ws);
    ASSERT_TRUE(older.connected());
    older.hello("devA");
    ASSERT_TRUE(server_->waitForLog("ws#1[devA] hello", kWait));
    WsClient newer(ports().ws);
    newer.hello("devA");
    ASSERT_TRUE(newer.waitForType("paired_ok"));

    EXPECT_EQ(older.closeCode(), 1008u);  // policy violation
    EXPECT_TRUE(server_->waitForLog("ws#1[devA] replaced by ws#2", kWait));
    EXPECT_EQ(server_->runCommand("ping devA"), R"(sent to devA: {"t":"ping"})");
    EXPECT_TRUE(newer.waitForType("ping"));
    const auto clients = server_->clients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].connection, 2u);
}

TEST_F(BoundsTest, ClientTextIsShownEscapedInAnswersAndLogLines) {
    using brevant::backend::escaped;
    EXPECT_EQ(escaped("a\\b\n\t\x1b[2J\xC2\x9B\xE2\x80\xAE\xC3\xA9\xFF"),
              "a\\\\b\\n\\t\\x1b[2J\\u{009b}\\u{202e}\xC3\xA9\\xff");
    EXPECT_EQ(escaped("abcdef", 4), "abcd...");

    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    const std::string forged = "devF\n  ws#99 127.0.0.1:1 device=admin\x1b[2J\x1b]0;owned\x07";
    a.hello(forged);
    ASSERT_TRUE(a.waitForType("pair_required"));
    const std::string expected =
        "devF\\n  ws#99 127.0.0.1:1 device=admin\\x1b[2J\\x1b]0;owned\\x07";
    for (const std::string& answer :
         {server_->runCommand("clients"), adminPost(ports().pair, "clients").body}) {
        EXPECT_EQ(std::count(answer.begin(), answer.end(), '\n'), answer.back() == '\n' ? 2 : 1)
            << answer;  // the title and one row
        EXPECT_NE(answer.find("device=" + expected + " platform="), std::string::npos) << answer;
        EXPECT_EQ(answer.find('\x1b'), std::string::npos);
    }
    // A field may hold a newline and a file name an escape sequence.
    const std::string body =
        "--x\r\nContent-Disposition: form-data; name=\"deviceId\"\r\n\r\ndev\nF\r\n"
        "--x\r\nContent-Disposition: form-data; name=\"file\"; filename=\"r\x1b[2J.replay\"\r\n"
        "\r\ndata\r\n--x--\r\n";
    ASSERT_EQ(httpPost(ports().upload, "/upload-replay", body,
                       "Content-Type: multipart/form-data; boundary=x\r\n"
                       "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n")
                  .status,
              200u);
    const std::string uploads = server_->runCommand("uploads");
    EXPECT_EQ(std::count(uploads.begin(), uploads.end(), '\n'), 1) << uploads;
    EXPECT_NE(uploads.find("file='r\\x1b[2J.replay' device=dev\\nF "), std::string::npos)
        << uploads;

    const auto lines = server_->logLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("ws#1[devF\\n  ws#99") != std::string::npos;
    }));
    for (const std::string& line : lines)
        EXPECT_EQ(line.find_first_of("\n\x1b\x07"), std::string::npos) << line;
}

}  // namespace
}  // namespace backend_test

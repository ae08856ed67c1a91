// The WebSocket transport against the loopback test server: real sockets on 127.0.0.1 and a real
// receiver thread calling read() the way the client does.
#include "platform/WebSocketTransport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <latch>
#include <limits>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/DescriptorsUsedUp.h"
#include "tests/support/SilentListener.h"
#include "tests/support/SlowLookup.h"
#include "tests/support/Wine.h"
#include "tests/support/WsTestServer.h"

namespace platform {
// Readable names in failure messages.
void PrintTo(WebSocketReadResult::Kind kind, std::ostream* os) {
    static const char* const names[] = {"Text", "Binary", "TooLarge", "Closed", "Failed"};
    *os << names[static_cast<int>(kind)];
}
void PrintTo(WebSocketConnectFailure failure, std::ostream* os) {
    static const char* const names[] = {"SendRequest", "ReceiveResponse", "Upgrade"};
    *os << names[static_cast<int>(failure)];
}
}  // namespace platform

namespace {

using platform::WebSocketConnectFailure;
using platform::WebSocketConnection;
using platform::WebSocketOptions;
using platform::WebSocketReadResult;
#ifndef _WIN32
using testing_support::DescriptorsUsedUp;
using testing_support::ubsanRuntimePresent;
#endif
using testing_support::WsTestServer;
using Kind = WebSocketReadResult::Kind;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A bound on what should happen promptly: far beyond any scheduling delay on a loaded machine,
// so it is only reached when something is wrong.
constexpr auto kWait = 10s;
// A limit that must not be what ends an operation: well beyond kWait, so that reaching it shows.
constexpr auto kFarLimit = 30s;
// For transfers of many MiB under sanitizers.
constexpr auto kBigTransferWait = 60s;
// To show that an option's limit applies rather than the default: the option is longer, so
// ending no earlier than the option cannot be the default's doing.
const auto kBeyondTheDefault = WebSocketOptions{}.handshakeTimeout + 2s;
const auto kCloseBeyondTheDefault = WebSocketOptions{}.closeTimeout + 2s;

// Limits far away, so that only the tests about limits ever meet one.
WebSocketOptions optionsFor(const WsTestServer& server) {
    WebSocketOptions options;
    options.host = "127.0.0.1";
    options.port = server.port();
    options.path = "/ws";
    options.userAgent = "BrevantTest/1.0";
    options.handshakeTimeout = kFarLimit;
    options.closeTimeout = kFarLimit;
    return options;
}

std::unique_ptr<WebSocketConnection> connectOrFail(const WebSocketOptions& options) {
    WebSocketConnectFailure failure{};
    auto connection = WebSocketConnection::connect(options, failure);
    EXPECT_NE(connection, nullptr) << "handshake failed at step " << static_cast<int>(failure);
    return connection;
}

// A text whose every position is recognisable, so a lost, doubled or shifted piece shows.
std::string patterned(std::size_t size, char salt = 'a') {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(salt + (i * 7 + i / 26) % 26);
    return text;
}

// The receiver thread: reads until Closed or Failed and keeps every result. `onResult` runs on
// the receiver thread right after each read, like the client's dispatch.
class Receiver {
public:
    using Hook = std::function<void(const WebSocketReadResult&)>;

    explicit Receiver(WebSocketConnection& connection, Hook onResult = {})
        : connection_(connection), onResult_(std::move(onResult)), thread_([this] { run(); }) {}

    // close() makes the pending read() return, so the join is bounded by closeTimeout.
    ~Receiver() {
        connection_.close();
        thread_.join();
    }

    bool waitForResults(std::size_t count, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return results_.size() >= count; });
    }
    bool waitUntilFinished(std::chrono::milliseconds timeout = kWait) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return finished_; });
    }
    std::vector<WebSocketReadResult> results() {
        std::lock_guard lock(mutex_);
        return results_;
    }

private:
    void run() {
        for (;;) {
            WebSocketReadResult result = connection_.read();
            if (onResult_)
                onResult_(result);
            const bool last = result.kind == Kind::Closed || result.kind == Kind::Failed;
            {
                std::lock_guard lock(mutex_);
                results_.push_back(std::move(result));
                finished_ = last;
            }
            changed_.notify_all();
            if (last)
                return;
        }
    }

    WebSocketConnection& connection_;
    Hook onResult_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<WebSocketReadResult> results_;
    bool finished_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// Handshake

TEST(WebSocketHandshake, SucceedsAndSendsUserAgentPathAndHost) {
    WsTestServer server;
    auto options = optionsFor(server);
    options.path = "/ws/live?v=2";
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);

    ASSERT_TRUE(server.waitForRequests(1));
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/ws/live?v=2");
    EXPECT_EQ(request.userAgent, "BrevantTest/1.0");
    EXPECT_EQ(request.host, "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_TRUE(request.webSocketUpgrade);
}

TEST(WebSocketHandshake, HostNameGoesThroughTheResolver) {
    WsTestServer server;
    auto options = optionsFor(server);
    options.host = "localhost";  // from the hosts file; the server listens on 127.0.0.1
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests().at(0).host, "localhost:" + std::to_string(server.port()));
}

TEST(WebSocketHandshake, RefusedPortFailsSendingTheRequest) {
    WebSocketOptions options;
    options.host = "127.0.0.1";
    options.port = WsTestServer::unusedPort();
    WebSocketConnectFailure failure = WebSocketConnectFailure::Upgrade;
    EXPECT_EQ(WebSocketConnection::connect(options, failure), nullptr);
    EXPECT_EQ(failure, WebSocketConnectFailure::SendRequest);
}

TEST(WebSocketHandshake, AnExceptionWhileConnectingFailsSendingTheRequest) {
    WsTestServer server;
    auto options = optionsFor(server);
    options.readChunk = std::numeric_limits<std::size_t>::max();  // no buffer can be that big
    WebSocketConnectFailure failure = WebSocketConnectFailure::Upgrade;
    EXPECT_EQ(WebSocketConnection::connect(options, failure), nullptr);  // must not throw
    EXPECT_EQ(failure, WebSocketConnectFailure::SendRequest);
}

#ifndef _WIN32
TEST(WebSocketHandshake, RunningOutOfDescriptorsFailsSendingTheRequest) {
    if (ubsanRuntimePresent())
        GTEST_SKIP() << "UBSan needs free descriptors itself";
    const std::uint16_t port = WsTestServer::unusedPort();
    WebSocketOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    WebSocketConnectFailure failure = WebSocketConnectFailure::Upgrade;
    bool connected = true;
    {
        DescriptorsUsedUp used;
        ASSERT_TRUE(used.exhausted());
        connected = WebSocketConnection::connect(options, failure) != nullptr;  // must not throw
    }
    EXPECT_FALSE(connected);
    EXPECT_EQ(failure, WebSocketConnectFailure::SendRequest);
}
#endif

// A plain page and a 404 alike. The status is checked before the upgrade is completed: some
// WinHTTP versions complete any answer.
TEST(WebSocketHandshake, AnAnswerOtherThanSwitchingProtocolsFailsTheUpgrade) {
    for (const auto& [status, body] :
         {std::pair{200u, "<html>not a websocket</html>"}, std::pair{404u, "no such path"}}) {
        WsTestServer server;
        server.answerHttp(status, body);
        WebSocketConnectFailure failure = WebSocketConnectFailure::SendRequest;
        EXPECT_EQ(WebSocketConnection::connect(optionsFor(server), failure), nullptr) << status;
        EXPECT_EQ(failure, WebSocketConnectFailure::Upgrade) << status;
        EXPECT_EQ(server.requests().size(), 1u) << status;
    }
}

TEST(WebSocketHandshake, SwitchingProtocolsWithAWrongAcceptKeyFailsTheUpgrade) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not check Sec-WebSocket-Accept";
    WsTestServer server;
    server.answerRaw(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: bm90IHRoZSByaWdodCBrZXkgYXQgYWxs\r\n\r\n");
    WebSocketConnectFailure failure = WebSocketConnectFailure::SendRequest;
    EXPECT_EQ(WebSocketConnection::connect(optionsFor(server), failure), nullptr);
    EXPECT_EQ(failure, WebSocketConnectFailure::Upgrade);
}

TEST(WebSocketHandshake, AnswerThatIsNotHttpFailsTheUpgrade) {
    WsTestServer server;
    server.answerRaw("SSH-2.0-Something\r\n\r\n");
    WebSocketConnectFailure failure = WebSocketConnectFailure::SendRequest;
    EXPECT_EQ(WebSocketConnection::connect(optionsFor(server), failure), nullptr);
#ifdef _WIN32
    // WinHTTP tells no answer and an answer that is not HTTP apart by neither call nor error.
    EXPECT_EQ(failure, WebSocketConnectFailure::ReceiveResponse);
#else
    EXPECT_EQ(failure, WebSocketConnectFailure::Upgrade);
#endif
}

TEST(WebSocketHandshake, SilentServerTimesOutReceivingTheResponse) {
    WsTestServer server;
    server.stallHandshakes();
    auto options = optionsFor(server);
    options.handshakeTimeout = kBeyondTheDefault;
    WebSocketConnectFailure failure = WebSocketConnectFailure::Upgrade;
    const auto start = Clock::now();
    EXPECT_EQ(WebSocketConnection::connect(options, failure), nullptr);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(failure, WebSocketConnectFailure::ReceiveResponse);
    EXPECT_GE(elapsed, options.handshakeTimeout);  // the option's limit, not the default
    EXPECT_LT(elapsed, options.handshakeTimeout + kWait);
    EXPECT_EQ(server.requests().size(), 1u);  // the request did go out
}

TEST(WebSocketHandshake, ServerHangingUpWithoutAnswerFailsReceivingTheResponse) {
    WsTestServer server;
    server.hangUpOnRequest();
    WebSocketConnectFailure failure = WebSocketConnectFailure::Upgrade;
    const auto start = Clock::now();
    EXPECT_EQ(WebSocketConnection::connect(optionsFor(server), failure), nullptr);
    EXPECT_EQ(failure, WebSocketConnectFailure::ReceiveResponse);
    EXPECT_LT(Clock::now() - start, kWait);  // noticed the end, did not wait for the limit
}

TEST(WebSocketHandshake, ResetWhileWaitingForTheResponseFailsReceivingIt) {
    WsTestServer server;
    server.stallHandshakes();
    const auto options = optionsFor(server);  // a limit far beyond kWait
    auto attempt = std::async(std::launch::async, [&] {
        WebSocketConnectFailure failure = WebSocketConnectFailure::Upgrade;
        const auto start = Clock::now();
        const bool connected = WebSocketConnection::connect(options, failure) != nullptr;
        return std::make_tuple(connected, failure, Clock::now() - start);
    });
    ASSERT_TRUE(server.waitForRequests(1));
    server.dropConnection();
    ASSERT_EQ(attempt.wait_for(kWait), std::future_status::ready);
    const auto [connected, failure, elapsed] = attempt.get();
    EXPECT_FALSE(connected);
    EXPECT_EQ(failure, WebSocketConnectFailure::ReceiveResponse);
    EXPECT_LT(elapsed, kWait);  // the reset ended it, not the time limit
}

// ---------------------------------------------------------------------------------------------
// Receiving

TEST(WebSocketReceive, LargeTextArrivesWholeInOneResult) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    const std::string text = patterned(40 * 1024);  // several read chunks
    server.sendText(text);
    ASSERT_TRUE(receiver.waitForResults(1));
    const auto result = receiver.results().at(0);
    EXPECT_EQ(result.kind, Kind::Text);
    EXPECT_EQ(result.data.size(), text.size());
    EXPECT_TRUE(result.data == text);
}

TEST(WebSocketReceive, FragmentedTextArrivesJoined) {
    WsTestServer server;
    auto options = optionsFor(server);
    options.readChunk = 700;  // pieces that do not line up with the frames
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    const std::string text = patterned(10'000, 'A');
    server.sendFragmentedText(text, 1000);
    server.sendFragmentedText("ab", 1);  // a tiny one right behind it
    ASSERT_TRUE(receiver.waitForResults(2));
    const auto results = receiver.results();
    EXPECT_EQ(results[0].kind, Kind::Text);
    EXPECT_TRUE(results[0].data == text);
    EXPECT_EQ(results[1].kind, Kind::Text);
    EXPECT_EQ(results[1].data, "ab");
}

TEST(WebSocketReceive, EmptyTextIsAMessageToo) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    server.sendText("");
    server.sendText("after");
    ASSERT_TRUE(receiver.waitForResults(2));
    const auto results = receiver.results();
    EXPECT_EQ(results[0].kind, Kind::Text);
    EXPECT_EQ(results[0].data, "");
    EXPECT_EQ(results[1].data, "after");
}

TEST(WebSocketReceive, BinaryIsReportedWithoutItsBytes) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    server.sendBinary(std::string(3000, '\x01'));
    server.sendText("after binary");
    ASSERT_TRUE(receiver.waitForResults(2));
    const auto results = receiver.results();
    EXPECT_EQ(results[0].kind, Kind::Binary);
    EXPECT_TRUE(results[0].data.empty());
    EXPECT_EQ(results[1].kind, Kind::Text);
    EXPECT_EQ(results[1].data, "after binary");
}

TEST(WebSocketReceive, TextOverTheCapIsDroppedAndTheConnectionGoesOn) {
    WsTestServer server;
    auto options = optionsFor(server);
    options.maxMessageBytes = 64 * 1024;
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    const std::string atCap = patterned(64 * 1024, 'b');
    server.sendText(patterned(64 * 1024 + 1));
    server.sendText(atCap);                                 // exactly the cap is fine
    server.sendFragmentedText(patterned(200'000), 16'000);  // over the cap in many frames
    server.sendText("still here");
    ASSERT_TRUE(receiver.waitForResults(4));
    const auto results = receiver.results();
    EXPECT_EQ(results[0].kind, Kind::TooLarge);
    EXPECT_EQ(results[0].size, 64u * 1024 + 1);
    EXPECT_TRUE(results[0].data.empty());
    EXPECT_EQ(results[1].kind, Kind::Text);
    EXPECT_TRUE(results[1].data == atCap);
    EXPECT_EQ(results[2].kind, Kind::TooLarge);
    EXPECT_EQ(results[2].size, 200'000u);
    EXPECT_EQ(results[3].kind, Kind::Text);
    EXPECT_EQ(results[3].data, "still here");
}

TEST(WebSocketReceive, TextOverBeastsOwnDefaultLimitArrivesWhenUnderOurCap) {
    WsTestServer server;
    auto options = optionsFor(server);
    options.maxMessageBytes = 20 * 1024 * 1024;
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    const std::string text = patterned(17 * 1024 * 1024);  // Beast would refuse over 16 MiB
    server.sendText(text);
    ASSERT_TRUE(receiver.waitForResults(1, kBigTransferWait));
    const auto result = receiver.results().at(0);
    EXPECT_EQ(result.kind, Kind::Text);
    EXPECT_TRUE(result.data == text);
}

TEST(WebSocketReceive, PingsAreAnsweredAndNotSurfaced) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not answer pings";
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    server.sendPing("p1");
    server.sendPing("p2");
    server.sendText("after pings");
    ASSERT_TRUE(server.waitForPongs(2));
    ASSERT_TRUE(receiver.waitForResults(1));
    const auto results = receiver.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, Kind::Text);
    EXPECT_EQ(results[0].data, "after pings");
}

TEST(WebSocketReceive, ServerCloseEndsWithClosedAndLaterSendsAreDropped) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    server.sendText("last words");
    server.sendClose(1000);
    ASSERT_TRUE(receiver.waitUntilFinished());
    const auto results = receiver.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].data, "last words");
    EXPECT_EQ(results[1].kind, Kind::Closed);
    ASSERT_TRUE(server.waitForCloseCodes(1));
    EXPECT_EQ(server.closeCodes().at(0), 1000);  // our answer to the server's close

    connection->sendText("too late");  // no error, no crash, nothing sent
    EXPECT_EQ(connection->read().kind, Kind::Closed);
    connection->close();
    EXPECT_EQ(connection->read().kind, Kind::Closed);
    ASSERT_TRUE(server.waitForEndedConnections(1));
    EXPECT_TRUE(server.messages().empty());
}

TEST(WebSocketReceive, ResetByThePeerIsAFailure) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    server.sendText("before");
    ASSERT_TRUE(receiver.waitForResults(1));
    server.dropConnection();
    ASSERT_TRUE(receiver.waitUntilFinished());
    const auto results = receiver.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].kind, Kind::Failed);
    EXPECT_EQ(connection->read().kind, Kind::Closed);  // after the end, Closed at once
    connection->sendText("dropped");
}

// ---------------------------------------------------------------------------------------------
// Closing from our side

TEST(WebSocketClose, CloseWhileReadingEndsTheReadPromptlyWithNormalCode) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));  // closeTimeout far beyond kWait
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);
    ASSERT_TRUE(server.waitForRequests(1));

    const auto start = Clock::now();
    connection->close();
    EXPECT_LT(Clock::now() - start, kWait);          // close() itself does not wait
    ASSERT_TRUE(receiver.waitUntilFinished(kWait));  // the handshake finished, not the timer
    EXPECT_EQ(receiver.results().back().kind, Kind::Closed);
    ASSERT_TRUE(server.waitForCloseCodes(1));
    EXPECT_EQ(server.closeCodes(), std::vector<int>{1000});
    EXPECT_TRUE(server.waitForEndedConnections(1));
}

TEST(WebSocketClose, CloseTwiceAndAfterTheEndIsHarmless) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    connection->close();
    connection->close();
    ASSERT_TRUE(receiver.waitUntilFinished());
    EXPECT_EQ(receiver.results().back().kind, Kind::Closed);
    connection->close();
    EXPECT_EQ(connection->read().kind, Kind::Closed);
    ASSERT_TRUE(server.waitForCloseCodes(1));
    EXPECT_EQ(server.closeCodes().size(), 1u);  // one close frame only
}

TEST(WebSocketClose, FramesQueuedBeforeCloseGoOutFirst) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    connection->sendText("one");
    connection->sendText("two");
    connection->close();
    connection->sendText("after close");  // dropped
    Receiver receiver(*connection);

    ASSERT_TRUE(receiver.waitUntilFinished());
    EXPECT_EQ(receiver.results().back().kind, Kind::Closed);
    ASSERT_TRUE(server.waitForCloseCodes(1));
    EXPECT_EQ(server.messages(), (std::vector<std::string>{"one", "two"}));
}

TEST(WebSocketClose, UnansweredCloseEndsTheReadAfterCloseTimeout) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a receive under way when its handle is closed";
    WsTestServer server;
    server.acceptUpgradesWithoutReading();
    auto options = optionsFor(server);
    options.closeTimeout = kCloseBeyondTheDefault;
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    const auto start = Clock::now();
    connection->close();
    ASSERT_TRUE(receiver.waitUntilFinished(options.closeTimeout + kWait));
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(receiver.results().back().kind, Kind::Closed);
    // It did wait for the answer, as long as the option says (not the default) ...
    EXPECT_GE(elapsed, options.closeTimeout);
    // ... and then gave up.
    EXPECT_LT(elapsed, options.closeTimeout + kWait);
}

TEST(WebSocketClose, DestroyingWithoutAReceiverFlushesAndClosesTheConnection) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    connection->sendText("hello");  // queued; nobody ever reads
    connection.reset();

    ASSERT_TRUE(server.waitForCloseCodes(1));
    EXPECT_EQ(server.closeCodes(), std::vector<int>{1000});
    EXPECT_EQ(server.messages(), std::vector<std::string>{"hello"});
    EXPECT_TRUE(server.waitForEndedConnections(1));
}

TEST(WebSocketClose, DestroyingWithAnUnansweredCloseIsBoundedByCloseTimeout) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a receive under way when its handle is closed";
    WsTestServer server;
    server.acceptUpgradesWithoutReading();
    auto options = optionsFor(server);
    options.closeTimeout = 300ms;
    auto connection = connectOrFail(options);
    ASSERT_NE(connection, nullptr);
    connection->close();

    const auto start = Clock::now();
    connection.reset();
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, options.closeTimeout);  // it did wait for the answer ...
    EXPECT_LT(elapsed, kWait);                 // ... but not for ever
}

// ---------------------------------------------------------------------------------------------
// Sending

TEST(WebSocketSend, TextSentBeforeTheFirstReadArrives) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    connection->sendText("{\"type\":\"hello\"}");
    Receiver receiver(*connection);

    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_EQ(server.messages().at(0), "{\"type\":\"hello\"}");
}

TEST(WebSocketSend, LargeTextGoesOutWhole) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    const std::string text = patterned(3 * 1024 * 1024 + 17);
    connection->sendText(text);
    connection->sendText("small after large");
    ASSERT_TRUE(server.waitForMessages(2, kBigTransferWait));
    const auto messages = server.messages();
    EXPECT_EQ(messages[0].size(), text.size());
    EXPECT_TRUE(messages[0] == text);
    EXPECT_EQ(messages[1], "small after large");
}

TEST(WebSocketSend, ConcurrentSendersKeepFramesWholeAndEachSendersOrder) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection);

    constexpr int kThreads = 4;
    constexpr int kFrames = 50;
    // Sizes vary up to beyond one socket write, so interleaved bytes would show.
    const auto frame = [](int thread, int index) {
        const std::string head = std::to_string(thread) + ":" + std::to_string(index) + ":";
        return head + patterned(static_cast<std::size_t>((index * 997 + thread * 131) % 9000),
                                static_cast<char>('a' + thread));
    };
    std::latch start(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kFrames; ++i)
                connection->sendText(frame(t, i));
        });
    }
    for (auto& sender : senders)
        sender.join();

    ASSERT_TRUE(server.waitForMessages(kThreads * kFrames, kBigTransferWait));
    std::map<int, int> nextIndex;
    for (const auto& message : server.messages()) {
        const auto first = message.find(':');
        const auto second = message.find(':', first + 1);
        ASSERT_NE(second, std::string::npos) << "not a frame of ours";
        const int thread = std::stoi(message.substr(0, first));
        const int index = std::stoi(message.substr(first + 1, second - first - 1));
        ASSERT_TRUE(message == frame(thread, index)) << "frame " << thread << ":" << index;
        EXPECT_EQ(index, nextIndex[thread]++) << "out of order from sender " << thread;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(nextIndex[t], kFrames);
}

TEST(WebSocketSend, ReceiverThreadCanAnswerBetweenReads) {
    WsTestServer server;
    auto connection = connectOrFail(optionsFor(server));
    ASSERT_NE(connection, nullptr);
    Receiver receiver(*connection, [&](const WebSocketReadResult& result) {
        if (result.kind == Kind::Text)
            connection->sendText("echo:" + result.data);
    });

    for (int i = 0; i < 5; ++i)
        server.sendText("n" + std::to_string(i));
    ASSERT_TRUE(server.waitForMessages(5));
    EXPECT_EQ(server.messages(),
              (std::vector<std::string>{"echo:n0", "echo:n1", "echo:n2", "echo:n3", "echo:n4"}));
}

}  // namespace

// ---- A name lookup slower than the limit ----
// The slow name server stands in for glibc's asynchronous lookup (SlowLookup.cpp), not on
// Windows (where WinHTTP resolves names itself, under the handshake's limit).
#ifndef _WIN32

namespace {

// A name server that never answers: the lookup is cancelled at the limit, and nothing of it is
// left running (no thread of ours waits for the answer).
TEST(WebSocketHandshake, ASlowNameLookupIsCancelledAtTheLimit) {
    if (slow_lookup::kBypassed)
        GTEST_SKIP() << slow_lookup::kBypassedWhy;
    WsTestServer server;
    auto options = optionsFor(server);
    options.host = slow_lookup::kName;
    options.handshakeTimeout = 200ms;
    const int cancelled = slow_lookup::cancelled();
    WebSocketConnectFailure failure{};
    EXPECT_EQ(WebSocketConnection::connect(options, failure), nullptr);
    EXPECT_EQ(failure, WebSocketConnectFailure::SendRequest);
    EXPECT_EQ(slow_lookup::cancelled(), cancelled + 1);
    EXPECT_EQ(server.connectionCount(), 0u);
}

// The lookup, the connection and the upgrade share one deadline: a lookup that takes most of it
// leaves the connection only the rest, however silent the server.
TEST(WebSocketHandshake, LookupConnectAndUpgradeShareOneDeadline) {
    if (slow_lookup::kBypassed)
        GTEST_SKIP() << slow_lookup::kBypassedWhy;
    testing_support::SilentListener silent;
    if (!silent.unusable().empty())
        GTEST_SKIP() << silent.unusable();
    WebSocketOptions options;
    options.host = slow_lookup::kSlowLoopback;
    options.port = silent.port();
    options.handshakeTimeout = 1000ms;
    WebSocketConnectFailure failure{};
    const auto start = Clock::now();
    EXPECT_EQ(WebSocketConnection::connect(options, failure), nullptr);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(failure, WebSocketConnectFailure::SendRequest);
    EXPECT_GE(elapsed, options.handshakeTimeout);
    // A limit per step would have waited the lookup's 700 ms and then 1000 ms more.
    EXPECT_LT(elapsed, slow_lookup::kSlowAnswer + options.handshakeTimeout - 100ms);
}

}  // namespace
#endif

namespace {

using platform::WebSocketSendResult;

// ---- The send queue's bound ----

TEST(WebSocketSend, TheQueueHoldsAtMost1024FramesOr4MiBAndDropsPastThat) {
    WsTestServer server;
    // Nobody reads yet, so nothing leaves the queue.
    auto byFrames = connectOrFail(optionsFor(server));
    ASSERT_NE(byFrames, nullptr);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(byFrames->sendText("f" + std::to_string(i)), WebSocketSendResult::Queued) << i;
    EXPECT_EQ(byFrames->sendText("one too many"), WebSocketSendResult::QueueFull);

    auto byBytes = connectOrFail(optionsFor(server));
    ASSERT_NE(byBytes, nullptr);
    EXPECT_EQ(byBytes->sendText(std::string(4 * 1024 * 1024 - 1, 'x')),
              WebSocketSendResult::Queued);
    EXPECT_EQ(byBytes->sendText("xy"), WebSocketSendResult::QueueFull);
    EXPECT_EQ(byBytes->sendText("x"), WebSocketSendResult::Queued);

    // Once the receiver drives the connection the queue drains and takes frames again.
    Receiver receiver(*byFrames);
    ASSERT_TRUE(server.waitForMessages(1024, kBigTransferWait));
    EXPECT_EQ(byFrames->sendText("after"), WebSocketSendResult::Queued);
    ASSERT_TRUE(server.waitForMessages(1025, kBigTransferWait));
    EXPECT_EQ(server.messages().back(), "after");
}

}  // namespace

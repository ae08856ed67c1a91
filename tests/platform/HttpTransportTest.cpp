#include "platform/HttpTransport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tests/support/DescriptorsUsedUp.h"
#include "tests/support/HttpHead.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/SilentListener.h"
#include "tests/support/SlowLookup.h"
#include "tests/support/Wine.h"

namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpTimeouts;
#ifndef _WIN32
using testing_support::DescriptorsUsedUp;
using testing_support::ubsanRuntimePresent;
#endif
using testing_support::HttpCannedResponse;
using testing_support::HttpTestServer;
using testing_support::patternBytes;
using Action = HttpCannedResponse::Action;
using Framing = HttpCannedResponse::Framing;
using Clock = std::chrono::steady_clock;

// A bound on what should happen promptly: far beyond any scheduling delay on a loaded machine,
// so it is only reached when something is wrong.
constexpr auto kWait = 10s;
// A limit that must not be what ends an exchange: well beyond kWait, so that reaching it shows.
constexpr auto kFarLimit = 30s;
constexpr const char* kAgent = "BrevantTest/1.0";

HttpRequest requestTo(std::uint16_t port, std::string method, std::string target) {
    HttpRequest r;
    r.method = std::move(method);
    r.host = "127.0.0.1";
    r.port = port;
    r.target = std::move(target);
    r.userAgent = kAgent;
    return r;
}

// A loopback TCP socket bound to an ephemeral port and held for the test, listening or not.
class LoopbackSocket {
public:
    explicit LoopbackSocket(int backlog = -1) {
        using boost::asio::ip::tcp;
        boost::system::error_code ec;
        socket_.open(tcp::v4(), ec);
        EXPECT_FALSE(ec) << ec.message();
        socket_.bind(tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0), ec);
        EXPECT_FALSE(ec) << ec.message();
        port_ = socket_.local_endpoint(ec).port();
        if (backlog >= 0) {
            socket_.listen(backlog, ec);
            EXPECT_FALSE(ec) << ec.message();
        }
    }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    std::uint16_t port() const { return port_; }

private:
    boost::asio::io_context ioc_;
    // The kind of socket that can listen; bound but not listening, it refuses connections.
    boost::asio::ip::tcp::acceptor socket_{ioc_};
    std::uint16_t port_ = 0;
};

std::string expectedHead(const std::string& requestLine, const std::string& hostLine,
                         const std::string& extraLines, std::optional<std::size_t> contentLength) {
    return testing_support::expectedRequestHead(requestLine, hostLine, kAgent, extraLines,
                                                contentLength);
}

// An upper bound on how much of an upload the kernel can take in while the server reads
// nothing: the client's send buffer, which autotuning grows at most to the tcp_wmem maximum,
// and the server's receive buffer (counted generously), plus slack for the server's first read.
// 0 when the system does not say.
std::size_t kernelBufferBound() {
    std::ifstream wmem("/proc/sys/net/ipv4/tcp_wmem");
    std::size_t least = 0, initial = 0, most = 0;
    if (!(wmem >> least >> initial >> most) || most == 0)
        return 0;
    return most + 4 * HttpTestServer::kReceiveBufferBytes + 1024 * 1024;
}

// Beyond this the uploads the tests need would be unreasonably large.
constexpr std::size_t kMaxKernelBufferBound = 64 * 1024 * 1024;

class HttpTransport : public ::testing::Test {
protected:
    HttpRequest get(std::string target) { return requestTo(server.port(), "GET", target); }
    HttpRequest post(std::string target, std::optional<std::string> body) {
        HttpRequest r = requestTo(server.port(), "POST", target);
        r.body = std::move(body);
        return r;
    }
    std::string hostLine() const { return "Host: 127.0.0.1:" + std::to_string(server.port()); }

    // The single request the server recorded.
    testing_support::HttpRecordedRequest onlyRequest() {
        EXPECT_TRUE(server.waitForRequests(1, kWait));
        const auto all = server.requests();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? testing_support::HttpRecordedRequest{} : all.front();
    }

    HttpTestServer server;
    HttpResponse response;
};

// ---- What goes on the wire ----

TEST_F(HttpTransport, GetSendsRequestLineHostAndUserAgentOnly) {
    server.enqueue(HttpCannedResponse::make(200, "ok"));
    ASSERT_TRUE(platform::httpExchange(get("/pair/status?code=AB12&x=%20y"), response));

    const auto req = onlyRequest();
    EXPECT_EQ(req.head, expectedHead("GET /pair/status?code=AB12&x=%20y HTTP/1.1", hostLine(), "",
                                     std::nullopt));
    EXPECT_EQ(req.body, "");
}

TEST_F(HttpTransport, GetNeverCarriesABody) {
    server.enqueue(HttpCannedResponse::make(200));
    HttpRequest r = get("/x");
    r.body = "must not be sent";
    ASSERT_TRUE(platform::httpExchange(r, response));

    const auto req = onlyRequest();
    EXPECT_EQ(req.header("Content-Length"), nullptr);
    EXPECT_EQ(req.header("Transfer-Encoding"), nullptr);
    EXPECT_EQ(req.body, "");
}

TEST_F(HttpTransport, PostSendsExtraHeadersThenContentLengthThenBody) {
    server.enqueue(HttpCannedResponse::make(200));
    const std::string json = R"({"rank":12,"name":"Jo\u00e3o"})";
    HttpRequest r = post("/api/rank", json);
    r.extraHeaders = "Content-Type: application/json\r\n";
    ASSERT_TRUE(platform::httpExchange(r, response));

    const auto req = onlyRequest();
    EXPECT_EQ(req.head, expectedHead("POST /api/rank HTTP/1.1", hostLine(),
                                     "Content-Type: application/json\r\n", json.size()));
    EXPECT_EQ(req.body, json);
}

// A body from its source goes out as the same bytes, read a piece at a time; a source that cannot
// go on fails the exchange.
TEST_F(HttpTransport, AStreamedBodyGoesOutWholeAndASourceThatFailsFailsTheExchange) {
    std::string whole;
    for (int i = 0; whole.size() < 300 * 1024; ++i)
        whole += std::to_string(i) + ",";
    const auto streamed = [&](std::size_t failAt) {
        platform::HttpBodySource source;
        source.size = whole.size();
        source.read = [&, at = std::size_t(0), failAt](
                          char* buffer,
                          std::size_t capacity) mutable -> std::optional<std::size_t> {
            if (at >= failAt)
                return std::nullopt;
            const std::size_t n = std::min({capacity, std::size_t(1000), whole.size() - at});
            whole.copy(buffer, n, at);
            at += n;
            return n;
        };
        HttpRequest r = post("/upload", std::nullopt);
        r.bodySource = std::move(source);
        return r;
    };
    server.enqueue(HttpCannedResponse::make(200));
    ASSERT_TRUE(platform::httpExchange(streamed(whole.size()), response));
    const auto req = onlyRequest();
    EXPECT_EQ(req.head, expectedHead("POST /upload HTTP/1.1", hostLine(), "", whole.size()));
    EXPECT_TRUE(req.body == whole);
    EXPECT_FALSE(platform::httpExchange(streamed(whole.size() / 2), response));
}

TEST_F(HttpTransport, PostWithoutBodySendsContentLengthZero) {
    for (const std::optional<std::string>& body :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        SCOPED_TRACE(body ? "empty body" : "no body");
        HttpTestServer fresh;
        fresh.enqueue(HttpCannedResponse::make(200));
        HttpRequest r = requestTo(fresh.port(), "POST", "/upload");
        r.body = body;
        ASSERT_TRUE(platform::httpExchange(r, response));
        ASSERT_TRUE(fresh.waitForRequests(1, kWait));
        const auto req = fresh.requests().front();
        EXPECT_EQ(req.head, expectedHead("POST /upload HTTP/1.1",
                                         "Host: 127.0.0.1:" + std::to_string(fresh.port()), "", 0));
        EXPECT_EQ(req.body, "");
    }
}

TEST_F(HttpTransport, ExtraHeaderBlockIsSentLineByLineInOrder) {
    server.enqueue(HttpCannedResponse::make(200));
    HttpRequest r = get("/h");
    // Repeated names stay where they are; the last line may lack its line end.
    r.extraHeaders =
        "X-Device: d-1\r\nAccept: */*\r\nX-Device: d-2\r\nX-Empty:\r\nAuthorization: Bearer t";
    ASSERT_TRUE(platform::httpExchange(r, response));

    const auto req = onlyRequest();
    EXPECT_EQ(req.head, expectedHead("GET /h HTTP/1.1", hostLine(),
                                     "X-Device: d-1\r\nAccept: */*\r\nX-Device: d-2\r\n"
                                     "X-Empty:\r\nAuthorization: Bearer t\r\n",
                                     std::nullopt));
}

TEST_F(HttpTransport, ResolvesAHostName) {
    server.enqueue(HttpCannedResponse::make(200, "named"));
    HttpRequest r = get("/n");
    r.host = "localhost";
    ASSERT_TRUE(platform::httpExchange(r, response));
    EXPECT_EQ(response.body, "named");
    const auto req = onlyRequest();
    EXPECT_EQ(req.header("Host") ? *req.header("Host") : "",
              "localhost:" + std::to_string(server.port()));
}

// ---- What comes back ----

TEST_F(HttpTransport, ReturnsStatusAndBody) {
    for (unsigned status : {200u, 404u, 500u}) {
        SCOPED_TRACE(status);
        const std::string body = "body of " + std::to_string(status);
        server.enqueue(HttpCannedResponse::make(status, body));
        ASSERT_TRUE(platform::httpExchange(get("/s"), response));
        EXPECT_TRUE(response.statusRead);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.body, body);
    }
}

TEST_F(HttpTransport, ReadsAChunkedBody) {
    auto canned = HttpCannedResponse::make(200, patternBytes(20000));
    canned.framing = Framing::Chunked;
    canned.pieceBytes = 777;  // many chunks, some split across reads
    server.enqueue(canned);
    ASSERT_TRUE(platform::httpExchange(get("/c"), response));
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.body, canned.body);
}

TEST_F(HttpTransport, ReadsABodyThatEndsWithTheConnection) {
    auto canned = HttpCannedResponse::make(200, patternBytes(50000));
    canned.framing = Framing::CloseDelimited;
    server.enqueue(canned);
    ASSERT_TRUE(platform::httpExchange(get("/e"), response));
    EXPECT_EQ(response.body, canned.body);
}

TEST_F(HttpTransport, KeepsTheFirstBytesUpToTheCap) {
    for (Framing framing : {Framing::ContentLength, Framing::Chunked, Framing::CloseDelimited}) {
        SCOPED_TRACE(static_cast<int>(framing));
        auto canned = HttpCannedResponse::make(200, patternBytes(5000));
        canned.framing = framing;
        canned.pieceBytes = 300;
        server.enqueue(canned);
        ASSERT_TRUE(platform::httpExchange(get("/cap"), response, HttpTimeouts{}, 1000));
        EXPECT_EQ(response.status, 200u);
        EXPECT_EQ(response.body, canned.body.substr(0, 1000));
    }
}

TEST_F(HttpTransport, DefaultCapIsOneMebibyte) {
    auto canned = HttpCannedResponse::make(200, patternBytes(1024 * 1024 + 5000));
    server.enqueue(canned);
    ASSERT_TRUE(platform::httpExchange(get("/big"), response));
    EXPECT_EQ(response.body.size(), 1024u * 1024u);
    EXPECT_TRUE(response.body == canned.body.substr(0, 1024 * 1024));
}

TEST_F(HttpTransport, BodiesLargerThanTheParserDefaultArriveWhole) {
    auto canned = HttpCannedResponse::make(200, patternBytes(10 * 1024 * 1024));
    server.enqueue(canned);
    ASSERT_TRUE(platform::httpExchange(get("/huge"), response, HttpTimeouts{}, 16 * 1024 * 1024));
    EXPECT_EQ(response.body.size(), canned.body.size());
    EXPECT_TRUE(response.body == canned.body);
}

TEST_F(HttpTransport, ConnectionDroppedMidBodyKeepsWhatArrived) {
    auto canned = HttpCannedResponse::make(200, patternBytes(5000));
    canned.action = Action::DropMidBody;
    canned.dropAfterBytes = 1234;
    server.enqueue(canned);
    ASSERT_TRUE(platform::httpExchange(get("/partial"), response));
    EXPECT_TRUE(response.statusRead);
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.body, canned.body.substr(0, 1234));
}

// ---- Failures ----

TEST_F(HttpTransport, FailsWhenTheServerClosesWithoutAnswering) {
    server.enqueue(HttpCannedResponse::make(200, "earlier"));
    server.enqueue(HttpCannedResponse::withAction(Action::Drop));
    ASSERT_TRUE(platform::httpExchange(get("/first"), response));

    // The same response object: nothing of the earlier exchange may remain.
    EXPECT_FALSE(platform::httpExchange(post("/rank", "{}"), response));
    EXPECT_FALSE(response.statusRead);
    EXPECT_EQ(response.status, 0u);
    EXPECT_EQ(response.body, "");
    ASSERT_TRUE(server.waitForRequests(2, kWait));
    EXPECT_EQ(server.requests()[1].body, "{}");  // the request did go out
}

TEST(HttpTransportFailure, FailsOnARefusedPort) {
    LoopbackSocket boundNotListening;
    HttpResponse response;
    const auto start = Clock::now();
    EXPECT_FALSE(platform::httpExchange(requestTo(boundNotListening.port(), "GET", "/"), response));
    EXPECT_FALSE(response.statusRead);
    EXPECT_LT(Clock::now() - start, kWait);
}

TEST_F(HttpTransport, ReceiveLimitEndsAWaitForAnAnswer) {
    server.enqueue(HttpCannedResponse::withAction(Action::Stall));
    HttpTimeouts t;
    t.receive = 200ms;
    const auto start = Clock::now();
    EXPECT_FALSE(platform::httpExchange(get("/stall"), response, t));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, t.receive);
    EXPECT_LT(took, kWait);
    EXPECT_FALSE(response.statusRead);
}

TEST_F(HttpTransport, ReceiveLimitAppliesToALateAnswer) {
    auto late = HttpCannedResponse::make(200, "too late");
    late.delay = kFarLimit;
    server.enqueue(late);
    HttpTimeouts t;
    t.receive = 200ms;
    const auto start = Clock::now();
    EXPECT_FALSE(platform::httpExchange(get("/late"), response, t));
    EXPECT_LT(Clock::now() - start, kWait);
}

TEST_F(HttpTransport, SendLimitEndsAnUploadTheServerDoesNotRead) {
    const std::size_t buffered = kernelBufferBound();
    if (buffered == 0 || buffered > kMaxKernelBufferBound)
        GTEST_SKIP() << "the kernel's TCP buffer sizes are unknown or too large here (" << buffered
                     << " bytes)";
    server.enqueue(HttpCannedResponse::withAction(Action::StopReading));
    HttpTimeouts t;
    t.send = 200ms;
    const auto start = Clock::now();
    // More than the kernel buffers on both sides can hold, so writing has to stall.
    EXPECT_FALSE(
        platform::httpExchange(post("/upload", patternBytes(buffered + 1024 * 1024)), response, t));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, t.send);
    EXPECT_LT(took, kWait);  // the default send limit is 30 s
    ASSERT_TRUE(server.waitForRequests(1, kWait));
    EXPECT_FALSE(server.requests().front().complete);
}

TEST(HttpTransportFailure, ConnectLimitEndsAConnectionAttemptNobodyAnswers) {
    testing_support::SilentListener listener;
    if (!listener.unusable().empty())
        GTEST_SKIP() << listener.unusable();

    HttpTimeouts t;
    t.connect = 200ms;
    t.receive = kFarLimit;  // were the connection to succeed, the failure would come far later
    HttpResponse response;
    const auto start = Clock::now();
    EXPECT_FALSE(platform::httpExchange(requestTo(listener.port(), "GET", "/"), response, t));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, t.connect);
    EXPECT_LT(took, kWait);  // the default connect limit is 60 s, the kernel's own over a minute
}

#ifndef _WIN32
TEST(HttpTransportFailure, RunningOutOfDescriptorsIsAFailureNotAnException) {
    if (ubsanRuntimePresent())
        GTEST_SKIP() << "UBSan needs free descriptors itself";
    LoopbackSocket boundNotListening;
    HttpResponse response;
    bool result = true;
    {
        DescriptorsUsedUp used;
        ASSERT_TRUE(used.exhausted());
        result = platform::httpExchange(requestTo(boundNotListening.port(), "GET", "/"), response);
    }
    EXPECT_FALSE(result);
    EXPECT_FALSE(response.statusRead);
}
#endif

TEST(HttpTransportFailure, ServerShutdownEndsAStalledExchange) {
    auto server = std::make_unique<HttpTestServer>();
    server->enqueue(HttpCannedResponse::withAction(Action::Stall));
    HttpTimeouts t;
    t.receive = kFarLimit;
    HttpResponse response;
    auto exchange = std::async(std::launch::async, [&] {
        return platform::httpExchange(requestTo(server->port(), "GET", "/"), response, t);
    });
    ASSERT_TRUE(server->waitForRequests(1, kWait));
    const auto start = Clock::now();
    server.reset();
    ASSERT_EQ(exchange.wait_for(kWait), std::future_status::ready);
    EXPECT_FALSE(exchange.get());
    EXPECT_LT(Clock::now() - start, kWait);
}

TEST(HttpTransportFailure, AStopRequestEndsAStalledExchangeAndPreventsTheNext) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a call under way when its handle is closed";
    HttpTestServer server;
    server.enqueue(HttpCannedResponse::withAction(Action::Stall));
    HttpTimeouts t;
    t.receive = kFarLimit;
    HttpResponse response;
    std::stop_source stop;
    auto request = requestTo(server.port(), "GET", "/");
    request.stop = stop.get_token();
    auto exchange = std::async(std::launch::async,
                               [&] { return platform::httpExchange(request, response, t); });
    ASSERT_TRUE(server.waitForRequests(1, kWait));
    stop.request_stop();
    ASSERT_EQ(exchange.wait_for(kWait), std::future_status::ready);
    EXPECT_FALSE(exchange.get());
    // Already stopped: nothing is sent at all.
    EXPECT_FALSE(platform::httpExchange(request, response, t));
    EXPECT_EQ(server.requests().size(), 1u);
}

#ifndef _WIN32
// A name server that never answers holds no exchange past its stop (unload does not wait out a
// slow lookup): the lookup is cancelled at once.
TEST(HttpTransportFailure, AStopRequestEndsAHangingNameLookup) {
    if (slow_lookup::kBypassed)
        GTEST_SKIP() << slow_lookup::kBypassedWhy;
    HttpTimeouts t;
    t.connect = kFarLimit;
    HttpResponse response;
    std::stop_source stop;
    auto request = requestTo(80, "GET", "/");
    request.host = slow_lookup::kName;
    request.stop = stop.get_token();
    const int begun = slow_lookup::begun();
    const int cancelled = slow_lookup::cancelled();
    auto exchange = std::async(std::launch::async,
                               [&] { return platform::httpExchange(request, response, t); });
    ASSERT_TRUE(slow_lookup::waitForLookups(begun + 1, kWait));
    stop.request_stop();
    ASSERT_EQ(exchange.wait_for(1s), std::future_status::ready);
    EXPECT_FALSE(exchange.get());
    EXPECT_EQ(slow_lookup::cancelled(), cancelled + 1);
}
#endif

// ---- Limits are on inactivity, not on the whole exchange ----

// The limit in these tests: a wait of a few seconds between two steps does not end them (the
// machine may be loaded), yet the whole transfer is made to last well beyond it.
constexpr auto kInactivityLimit = 3s;
constexpr auto kTransferAtLeast = std::chrono::milliseconds(kInactivityLimit) * 5 / 2;

TEST_F(HttpTransport, AnUploadThatKeepsMovingOutlastsTheSendLimit) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP bounds a whole send by the send limit";
    const std::size_t buffered = kernelBufferBound();
    if (buffered == 0 || buffered > kMaxKernelBufferBound)
        GTEST_SKIP() << "the kernel's TCP buffer sizes are unknown or too large here (" << buffered
                     << " bytes)";
    // The server reads the first `paced` bytes of the body 64 KiB at a time with 50 ms pauses,
    // then the rest at once. The kernel holds at most `buffered` bytes the server has not read,
    // so the client cannot have written the last byte before the server read `paced` bytes:
    // its writing lasts at least kTransferAtLeast, while no single wait comes near the limit.
    constexpr std::size_t kPiece = 64 * 1024;
    constexpr auto kPause = 50ms;
    const auto paced = static_cast<std::size_t>(kTransferAtLeast / kPause + 1) * kPiece;
    auto canned = HttpCannedResponse::make(200, "stored");
    canned.readPieceBytes = kPiece;
    canned.readPause = kPause;
    canned.readPacedBytes = paced;
    server.enqueue(canned);
    HttpTimeouts t;
    t.send = kInactivityLimit;
    const std::string upload = patternBytes(paced + buffered);
    const auto start = Clock::now();
    ASSERT_TRUE(platform::httpExchange(post("/replay", upload), response, t));
    EXPECT_GE(Clock::now() - start, kTransferAtLeast);
    EXPECT_EQ(response.body, "stored");
    const auto req = onlyRequest();
    EXPECT_EQ(req.body.size(), upload.size());
    EXPECT_TRUE(req.body == upload);
}

TEST_F(HttpTransport, ABodyThatKeepsComingOutlastsTheReceiveLimit) {
    // One 10-byte piece every 100 ms: each wait is far below the limit, all of them together
    // last kTransferAtLeast.
    constexpr auto kInterval = 100ms;
    const auto intervals = static_cast<std::size_t>(kTransferAtLeast / kInterval);
    auto canned = HttpCannedResponse::make(200, patternBytes(10 * (intervals + 1)));
    canned.pieceBytes = 10;
    canned.pieceInterval = kInterval;
    server.enqueue(canned);
    HttpTimeouts t;
    t.receive = kInactivityLimit;
    const auto start = Clock::now();
    ASSERT_TRUE(platform::httpExchange(get("/trickle"), response, t));
    EXPECT_GE(Clock::now() - start, kTransferAtLeast);
    EXPECT_EQ(response.body, canned.body);
}

// ---- Connections ----

TEST_F(HttpTransport, EachExchangeHasItsOwnConnection) {
    server.route("/ping", HttpCannedResponse::make(200, "pong"));
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(platform::httpExchange(get("/ping?n=" + std::to_string(i)), response));
        EXPECT_EQ(response.body, "pong");
    }
    EXPECT_EQ(server.connectionCount(), 12u);
    ASSERT_TRUE(server.waitForRequests(12, kWait));
    const auto all = server.requests();
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(all[i].target, "/ping?n=" + std::to_string(i));
}

TEST_F(HttpTransport, ExchangesOnSeveralThreadsDoNotInterfere) {
    server.setFallback(HttpCannedResponse::make(200, "any"));
    constexpr int kThreads = 4;
    constexpr int kEach = 5;
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                HttpResponse own;
                const std::string body = patternBytes(3000, 10 * t + i + 1);
                if (platform::httpExchange(post("/t", body), own) && own.body == "any")
                    ++succeeded;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(succeeded.load(), kThreads * kEach);
    ASSERT_TRUE(server.waitForRequests(kThreads * kEach, kWait));
    for (const auto& req : server.requests())
        EXPECT_EQ(req.body.size(), 3000u);
}

}  // namespace

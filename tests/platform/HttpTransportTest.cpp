#include "platform/HttpTransport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HttpTestServer.h"

namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpTimeouts;
using testing_support::HttpCannedResponse;
using testing_support::HttpTestServer;
using testing_support::patternBytes;
using Action = HttpCannedResponse::Action;
using Framing = HttpCannedResponse::Framing;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 5s;
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
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        port_ = ntohs(addr.sin_port);
        if (backlog >= 0) {
            EXPECT_EQ(::listen(fd_, backlog), 0);
        }
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

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
    EXPECT_EQ(req.head, "GET /pair/status?code=AB12&x=%20y HTTP/1.1\r\n" + hostLine() +
                            "\r\nUser-Agent: BrevantTest/1.0\r\n\r\n");
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
    EXPECT_EQ(req.head, "POST /api/rank HTTP/1.1\r\n" + hostLine() +
                            "\r\nUser-Agent: BrevantTest/1.0\r\n"
                            "Content-Type: application/json\r\n"
                            "Content-Length: " +
                            std::to_string(json.size()) + "\r\n\r\n");
    EXPECT_EQ(req.body, json);
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
        EXPECT_EQ(req.head,
                  "POST /upload HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(fresh.port()) +
                      "\r\nUser-Agent: BrevantTest/1.0\r\nContent-Length: 0\r\n\r\n");
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
    EXPECT_EQ(req.head, "GET /h HTTP/1.1\r\n" + hostLine() +
                            "\r\nUser-Agent: BrevantTest/1.0\r\n"
                            "X-Device: d-1\r\nAccept: */*\r\nX-Device: d-2\r\nX-Empty:\r\n"
                            "Authorization: Bearer t\r\n\r\n");
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
    late.delay = 3s;
    server.enqueue(late);
    HttpTimeouts t;
    t.receive = 200ms;
    const auto start = Clock::now();
    EXPECT_FALSE(platform::httpExchange(get("/late"), response, t));
    EXPECT_LT(Clock::now() - start, 3s);
}

TEST_F(HttpTransport, SendLimitEndsAnUploadTheServerDoesNotRead) {
    server.enqueue(HttpCannedResponse::withAction(Action::StopReading));
    HttpTimeouts t;
    t.send = 200ms;
    const auto start = Clock::now();
    // Far more than the kernel buffers on both sides can hold.
    EXPECT_FALSE(
        platform::httpExchange(post("/upload", patternBytes(16 * 1024 * 1024)), response, t));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, t.send);
    EXPECT_LT(took, kWait);
    ASSERT_TRUE(server.waitForRequests(1, kWait));
    EXPECT_FALSE(server.requests().front().complete);
}

TEST(HttpTransportFailure, ConnectLimitEndsAConnectionAttemptNobodyAnswers) {
    // A listener whose queue is full (backlog 0, one connection waiting) drops further SYNs,
    // so the next connection attempt hangs until its limit.
    LoopbackSocket listener(0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(listener.port());
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // The listener turns readable once the filler sits in its queue.
    pollfd queued{listener.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&queued, 1, 5000), 1);

    HttpTimeouts t;
    t.connect = 200ms;
    t.receive = 20s;  // were the connection to succeed, the failure would come far later
    HttpResponse response;
    const auto start = Clock::now();
    EXPECT_FALSE(platform::httpExchange(requestTo(listener.port(), "GET", "/"), response, t));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, t.connect);
    EXPECT_LT(took, kWait);
    ::close(filler);
}

TEST(HttpTransportFailure, ServerShutdownEndsAStalledExchange) {
    auto server = std::make_unique<HttpTestServer>();
    server->enqueue(HttpCannedResponse::withAction(Action::Stall));
    HttpTimeouts t;
    t.receive = 20s;
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

// ---- Limits are on inactivity, not on the whole exchange ----

TEST_F(HttpTransport, AnUploadThatKeepsMovingOutlastsTheSendLimit) {
    // The server reads 128 KiB at a time with 25 ms pauses: an 8 MiB upload takes well over a
    // second, but no single wait comes near the 400 ms limit. The server's small receive buffer
    // and the client's send buffer (at most a few MiB) cannot absorb the upload, so most of the
    // writing happens while the server reads.
    auto canned = HttpCannedResponse::make(200, "stored");
    canned.readPieceBytes = 128 * 1024;
    canned.readPause = 25ms;
    server.enqueue(canned);
    HttpTimeouts t;
    t.send = 400ms;
    const std::string upload = patternBytes(8 * 1024 * 1024);
    const auto start = Clock::now();
    ASSERT_TRUE(platform::httpExchange(post("/replay", upload), response, t));
    EXPECT_GT(Clock::now() - start, 2 * t.send);
    EXPECT_EQ(response.body, "stored");
    const auto req = onlyRequest();
    EXPECT_EQ(req.body.size(), upload.size());
    EXPECT_TRUE(req.body == upload);
}

TEST_F(HttpTransport, ABodyThatKeepsComingOutlastsTheReceiveLimit) {
    auto canned = HttpCannedResponse::make(200, patternBytes(200));
    canned.pieceBytes = 10;
    canned.pieceInterval = 40ms;  // 20 pieces: about 760 ms in all
    server.enqueue(canned);
    HttpTimeouts t;
    t.receive = 400ms;
    const auto start = Clock::now();
    ASSERT_TRUE(platform::httpExchange(get("/trickle"), response, t));
    EXPECT_GT(Clock::now() - start, t.receive);
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

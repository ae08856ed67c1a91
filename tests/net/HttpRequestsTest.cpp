// The three HTTP requests on the wire, and the pairing check built on the first.
#include "net/HttpRequests.h"

#include <gtest/gtest.h>

#include <optional>

#include "core/Globals.h"
#include "core/Workers.h"
#include "net/BackendEndpoint.h"
#include "net/Dispatcher.h"
#include "pairing/PairingCheck.h"
#include "pairing/PairingState.h"
#include "plugin/MessageRoutes.h"
#include "tests/support/HttpHead.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestHost.h"
#include "tests/support/Wine.h"

namespace {

using testing_support::expectedRequestHead;
using testing_support::HttpCannedResponse;
using testing_support::HttpTestServer;
using testing_support::TestHost;

class HttpApi : public ::testing::Test {
protected:
    void SetUp() override {
        brevant::setBackendEndpointForTests(
            {L"127.0.0.1", 1, server.port(), server.port(), server.port()});
    }
    std::string hostLine() const { return "Host: 127.0.0.1:" + std::to_string(server.port()); }
    HttpTestServer server;
};

TEST_F(HttpApi, PairQueryIsAPlainGetWithThePercentEncodedIdentifier) {
    server.enqueue(HttpCannedResponse::make(200, R"({"registered":true})"));
    bool registered = false;
    EXPECT_TRUE(brevant::queryPairStatus("ab-9._~ +\xC3/", registered));
    EXPECT_TRUE(registered);
    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.head,
              expectedRequestHead("GET /pair-status?deviceId=ab-9._~%20%2B%C3%2F HTTP/1.1",
                                  hostLine(), "Brevant/1.0", "", std::nullopt));
    EXPECT_EQ(request.body, "");
}

TEST_F(HttpApi, PairReplyRule) {
    struct Case {
        unsigned status;
        const char* body;
        bool ok;
        bool registered;
    };
    const Case cases[] = {
        {404, R"({"registered": true})", true, true},  // status plays no part
        {200, "{}", true, false},
        {200, R"({"registered":false,"extra":1})", true, false},
        {200, "true", false, false},
        {200, R"({"registered":"yes"})", false, false},
        {200, R"({"registered":1})", false, false},
        {200, "", false, false},
        {200, "not json", false, false},
        {500, R"({"error":"db"})", false, false},  // a server error is no answer
        {503, R"({"registered":false})", true, false},
    };
    for (const auto& c : cases) {
        server.enqueue(HttpCannedResponse::make(c.status, c.body));
        bool registered = true;
        EXPECT_EQ(brevant::queryPairStatus("id", registered), c.ok) << c.status << " " << c.body;
        EXPECT_EQ(registered, c.registered) << c.status << " " << c.body;
    }
    brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});
    bool registered = true;
    EXPECT_FALSE(brevant::queryPairStatus("id", registered));  // refused
    EXPECT_FALSE(registered);
}

TEST_F(HttpApi, GeneralPostCarriesTheCommonHeaderBlock) {
    server.enqueue(HttpCannedResponse::make(500, "stored?"));
    brevant::HttpResult result;
    EXPECT_TRUE(brevant::httpPost(L"127.0.0.1", server.port(), L"/upload-replay",
                                  "multipart/form-data; boundary=XYZ", "--XYZ--\r\n", result));
    EXPECT_EQ(result.body, "stored?");
    EXPECT_EQ(result.status, 500u);
    EXPECT_FALSE(result.ok);  // answered, but not done
    server.enqueue(HttpCannedResponse::make(204));
    EXPECT_TRUE(brevant::httpPost(L"127.0.0.1", server.port(), L"/p", "", "", result));
    EXPECT_TRUE(result.ok);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].head,
              expectedRequestHead("POST /upload-replay HTTP/1.1", hostLine(), "Brevant/1.0",
                                  "Content-Type: multipart/form-data; boundary=XYZ\r\n"
                                  "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n",
                                  9));
    EXPECT_EQ(requests[0].body, "--XYZ--\r\n");
    EXPECT_EQ(
        requests[1].head,
        expectedRequestHead("POST /p HTTP/1.1", hostLine(), "Brevant/1.0",
                            "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n", 0));
    EXPECT_EQ(requests[1].body, "");

    brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});
    result.body = "old";
    EXPECT_FALSE(brevant::httpPost(L"127.0.0.1", 1, L"/p", "", "x", result));
    EXPECT_EQ(result.body, "");
    EXPECT_FALSE(result.ok);
}

TEST_F(HttpApi, RankSubmissionRequestAndStatus) {
    for (unsigned status : {201u, 302u, 200u, 299u, 300u, 404u}) {
        server.enqueue(HttpCannedResponse::make(status, "b" + std::to_string(status)));
        brevant::HttpResult result;
        EXPECT_TRUE(brevant::postRankSubmit(R"({"x":1})", result));
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.ok, status >= 200 && status <= 299) << status;
        EXPECT_EQ(result.body, "b" + std::to_string(status));
    }
    const auto request = server.requests()[0];
    EXPECT_EQ(request.head,
              expectedRequestHead("POST /rank-submit HTTP/1.1", hostLine(), "Brevant/0.0.2",
                                  "Content-Type: application/json; charset=utf-8\r\n", 7));
    EXPECT_EQ(request.body, R"({"x":1})");
    EXPECT_EQ(request.header("x-api-key"), nullptr);

    server.enqueue(HttpCannedResponse::withAction(HttpCannedResponse::Action::Drop));
    brevant::HttpResult result;
    result.status = 7;
    EXPECT_FALSE(brevant::postRankSubmit("{}", result));
    EXPECT_EQ(result.status, 0u);
    EXPECT_FALSE(result.ok);
}

// The pairing check at load, through the stand-in host.
class PairingAtLoad : public HttpApi {
protected:
    TestHost host;
};

TEST_F(PairingAtLoad, NotRegisteredShowsThePairingCommand) {
    server.route("/pair-status", HttpCannedResponse::make(200, "{}"));
    host.load();
    host.settle();
    EXPECT_TRUE(brevant::pairStatusKnown.load());
    EXPECT_FALSE(brevant::paired.load());
    EXPECT_EQ(host.toastTexts(),
              std::vector<std::string>{"Nao registrado. Cole no Discord: /addpair deviceid:" +
                                       brevant::deviceId});
}

TEST_F(PairingAtLoad, RegisteredShowsItsToast) {
    server.route("/pair-status", HttpCannedResponse::make(200, R"({"registered":true})"));
    host.load();
    host.settle();
    EXPECT_TRUE(brevant::paired.load());
    EXPECT_EQ(host.toastTexts(),
              std::vector<std::string>{"Pareado: seu Discord j\xE1 est\xE1 vinculado."});
}

TEST_F(PairingAtLoad, ServerErrorIsAFailedQueryThatKeepsPaired) {
    server.route("/pair-status", HttpCannedResponse::make(500, R"({"error":"db"})"));
    host.load();
    // Paired by a message while the query runs: a failed query leaves that alone.
    brevant::paired = true;
    host.settle();
    EXPECT_FALSE(brevant::pairStatusKnown.load());
    EXPECT_TRUE(brevant::paired.load());
    EXPECT_TRUE(host.toastTexts().empty());
    EXPECT_EQ(host.countLog("[BRV] Falha ao consultar /pair-status no load"), 1);
}

TEST_F(PairingAtLoad, StatusCheckSetsTheFlagsQuietlyAndAFailureMakesThemUnknown) {
    server.route("/pair-status", HttpCannedResponse::make(200, "{}"));
    host.load();
    host.settle();
    const auto toastsAtLoad = host.toastTexts().size();
    const auto logsAtLoad = host.logs().size();

    server.route("/pair-status", HttpCannedResponse::make(200, R"({"registered":true})"));
    brevant::checkPairStatusAsync("player-chosen id");
    host.settle();
    EXPECT_TRUE(brevant::pairStatusKnown.load());
    EXPECT_TRUE(brevant::paired.load());
    EXPECT_EQ(server.requests().back().target, "/pair-status?deviceId=player-chosen%20id");

    server.route("/pair-status", HttpCannedResponse::make(200, "not json"));
    brevant::checkPairStatusAsync(brevant::deviceId);
    host.settle();
    EXPECT_FALSE(brevant::pairStatusKnown.load());
    EXPECT_TRUE(brevant::paired.load());  // the last known answer stays
    EXPECT_EQ(host.toastTexts().size(), toastsAtLoad);
    EXPECT_EQ(host.logs().size(), logsAtLoad);
}

// The backend's message is newer than an answer to a query begun before it: the load-time
// check and "Checar status" answered late leave the flags as the message set them; the
// load-time toast still tells what the query said.
TEST_F(PairingAtLoad, AnAnswerToAQueryBegunBeforeTheBackendsMessageLeavesTheFlags) {
    const auto late = [](unsigned status, std::string body) {
        auto response = HttpCannedResponse::make(status, std::move(body));
        response.delay = std::chrono::milliseconds(400);
        return response;
    };
    const auto message = [](const char* text) {
        brevant::dispatchMessage(text, brevant::messageRoutes());
    };
    server.route("/pair-status", late(200, "{}"));
    host.load();
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    message(R"({"t":"paired_ok"})");
    host.settle();
    EXPECT_TRUE(brevant::paired.load());
    EXPECT_TRUE(brevant::pairStatusKnown.load());
    EXPECT_EQ(host.toastTexts(),
              std::vector<std::string>{"Nao registrado. Cole no Discord: /addpair deviceid:" +
                                       brevant::deviceId});

    server.route("/pair-status", late(200, R"({"registered":true})"));
    brevant::checkPairStatusAsync(brevant::deviceId);
    ASSERT_TRUE(server.waitForRequests(2, std::chrono::seconds(10)));
    message(R"({"t":"pair_required"})");
    host.settle();
    EXPECT_FALSE(brevant::paired.load());

    // A query begun after the message has its say.
    brevant::checkPairStatusAsync(brevant::deviceId);
    host.settle();
    EXPECT_TRUE(brevant::paired.load());
}

TEST_F(PairingAtLoad, UnloadEndsTheWaitOnAServerThatNeverAnswers) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a call under way when its handle is closed";
    server.route("/pair-status", HttpCannedResponse::withAction(HttpCannedResponse::Action::Stall));
    host.load();
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    host.unload();
    // Well inside the 30 s receive limit that would otherwise end the wait.
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0);
    host.settle();
    EXPECT_FALSE(brevant::paired.load());
    EXPECT_TRUE(host.toastTexts().empty());
    EXPECT_FALSE(host.hasLog("[BRV] Falha ao consultar /pair-status no load"));
}

}  // namespace

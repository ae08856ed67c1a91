// Rank submission: the game-thread step, the worker's exchange and the answer's toast.
#include "ranks/RankSubmit.h"

#include <gtest/gtest.h>

#include "core/Globals.h"
#include "core/Workers.h"
#include "net/BackendEndpoint.h"
#include "net/HttpRequests.h"
#include "pairing/PairingState.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestHost.h"
#include "tests/support/Wine.h"

namespace {

using brevant::ranks::formatDuration;
using testing_support::HttpCannedResponse;
using testing_support::HttpTestServer;
using testing_support::TestHost;

class RankSubmission : public ::testing::Test {
protected:
    void SetUp() override {
        host.load();
        host.settle();
        brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, server.port(), 1});
        brevant::paired = true;
    }
    void press() { host.rt().executeCommand("brv_rank"); }
    // Presses brv_rank and waits for its outcome.
    std::vector<std::string> submit() {
        press();
        host.rt().runPosted();
        host.settle();
        return host.toastTexts();
    }
    HttpTestServer server;
    TestHost host;
};

TEST_F(RankSubmission, SecondPressWhileInFlightWaitsAndSendsNothing) {
    server.enqueue(HttpCannedResponse::make(200, R"({"ok":true})"));
    press();
    press();
    host.rt().runPosted();
    host.settle();
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(host.toastTexts(), (std::vector<std::string>{"Aguarde o envio anterior terminar.",
                                                           "Rank verificado e sincronizado."}));
    EXPECT_TRUE(host.hasLog("[BRV] atualizado..."));
    EXPECT_FALSE(brevant::ranks::submissionInFlight());
}

TEST_F(RankSubmission, NotPairedSendsNothingAndTheNextPressIsAccepted) {
    brevant::paired = false;
    EXPECT_EQ(submit(), std::vector<std::string>{"Nao pareado. Use /addpair no Discord."});
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_FALSE(brevant::ranks::submissionInFlight());

    brevant::paired = true;
    server.enqueue(HttpCannedResponse::make(200, R"({"ok":true,"note":"UNCHANGED"})"));
    submit();
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(host.toastTexts().back(), "Cargo ja estava correto. Cooldown renovado.");
}

TEST_F(RankSubmission, BodyWithOnlyTheTwosPlaylistReadable) {
    host.game().mmr.playlists[10].throws = true;
    host.game().mmr.playlists[13].throws = true;
    // 56.73 * 20 + 100 = 1234.6: the game's MMR comes with a fraction, the body rounds it.
    host.game().mmr.playlists[11] = {SkillRank{16, 1, 400}, SkillRating{56.73f, 2.0f}, false};
    server.enqueue(HttpCannedResponse::make(200, R"({"ok":true})"));
    submit();
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(
        server.requests()[0].body,
        R"({"deviceId":")" + brevant::deviceId +
            R"(","ranks":[{"division":1,"mmr":1235.0,"playlist":"Ranked 2v2","playlistId":11,"tier":16}]})");
}

TEST_F(RankSubmission, IdentityFallsBackToThePlayerControllerAndNoRanksSendNothing) {
    host.game().localPlayer.uniqueId = "";
    host.game().localPlayer.priUniqueId = "epic|abc";
    server.enqueue(HttpCannedResponse::make(200, R"({"ok":true})"));
    submit();
    EXPECT_EQ(server.requestCount(), 1u);
    // A game call that throws falls back the same way.
    host.game().localPlayer.uniqueId = "7656";
    host.game().localPlayer.uniqueIdThrows = true;
    server.enqueue(HttpCannedResponse::make(200, R"({"ok":true})"));
    submit();
    EXPECT_EQ(server.requestCount(), 2u);
    host.game().localPlayer.uniqueIdThrows = false;
    host.game().localPlayer.uniqueId = "";

    host.game().localPlayer.priUniqueId = "";
    EXPECT_EQ(submit().back(),
              "Nao consegui ler seus ranks. Abra o menu Competitivo e tente de novo.");
    host.game().localPlayer.uniqueId = "7656";
    for (int p : {10, 11, 13})
        host.game().mmr.playlists[p].throws = true;
    submit();
    EXPECT_EQ(host.toastTexts().back(),
              "Nao consegui ler seus ranks. Abra o menu Competitivo e tente de novo.");
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_FALSE(brevant::ranks::submissionInFlight());
}

TEST_F(RankSubmission, AnswersEndToEnd) {
    server.enqueue(
        HttpCannedResponse::make(200, R"({"ok":true,"note":"COOLDOWN","retryAfterMs":90000})"));
    server.enqueue(HttpCannedResponse::make(503, "<html><b>down</b></html>"));
    server.enqueue(HttpCannedResponse::make(200, R"({"ok": false})"));
    submit();
    submit();
    submit();
    EXPECT_EQ(host.toastTexts(), (std::vector<std::string>{
                                     "Cooldown ativo. Tente de novo em 2m.",
                                     "Erro: <html><b>down</b></html>",
                                     R"(Falha: {"ok": false})",
                                 }));
    brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});
    EXPECT_EQ(submit().back(), "Falha HTTP.");
}

TEST_F(RankSubmission, WithoutAGameTheFlagIsReleasedAndNothingHappens) {
    brevant::ranks::submitAsync(brevant::deviceId, nullptr, nullptr, &brevant::isPaired);
    EXPECT_FALSE(brevant::ranks::submissionInFlight());
    host.unload();
    press();  // after unload the command finds no game
    host.settle();
    EXPECT_FALSE(brevant::ranks::submissionInFlight());
    EXPECT_TRUE(host.toastTexts().empty());
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(RankSubmission, UnloadEndsTheWaitOnAServerThatNeverAnswers) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a call under way when its handle is closed";
    server.enqueue(HttpCannedResponse::withAction(HttpCannedResponse::Action::Stall));
    press();
    host.rt().runPosted();
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    host.unload();
    // Well inside the 30 s receive limit that would otherwise end the wait.
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0);
    host.settle();
    EXPECT_TRUE(host.toastTexts().empty());
    EXPECT_FALSE(brevant::ranks::submissionInFlight());
}

TEST(RankReply, EveryAnswerHasItsText) {
    struct Case {
        unsigned status;
        const char* body;
        const char* text;
    };
    const Case cases[] = {
        {200, R"({"ok":true,"note":"COOLDOWN","retryAfterMs":90000})",
         "Cooldown ativo. Tente de novo em 2m."},
        {200, R"({"ok":true,"note":"COOLDOWN","retryAfterMs":1500.9})",
         "Cooldown ativo. Tente de novo em 2s."},
        {200, R"({"ok":true,"note":"COOLDOWN"})", "Cooldown ativo. Tente de novo em ."},
        {200, R"({"ok":true,"note":"COOLDOWN","retryAfterMs":true})",
         "Resposta inesperada do servidor."},
        {200, R"({"ok":true,"note":"NO_VALID_RANKS"})", "Sem ranks validos (1v1/2v2/3v3) agora."},
        {200, R"({"ok":true,"note":"UNCHANGED"})", "Cargo ja estava correto. Cooldown renovado."},
        {201, R"({"ok":true,"note":"cooldown"})", "Rank verificado e sincronizado."},
        {0, R"({"ok":true})", "Rank verificado e sincronizado."},
        {200, R"({"ok":false,"err":"NO_DISCORD_LINKED"})",
         "Seu deviceId nao esta pareado ao Discord (/addpair)."},
        {200, R"({"ok":false,"err":"GUILD_NOT_FOUND"})", "Erro 454. Consulte um Administrador"},
        {200, R"({"ok":false,"err":"ROLE_ID_INVALID"})", "Erro 455"},
        {200, R"({"ok":false,"err":"CANNOT_MODIFY_ROLES"})", "Erro 456"},
        {200, R"({"ok":false,"err":"DB_ERROR"})", "Erro 457"},
        {200, R"({"ok":false,"err":"db_error"})", R"(Falha: {"ok":false,"err":"db_error"})"},
        {200, R"({"ok":false})", R"(Falha: {"ok":false})"},
        {200, R"({})", "Falha: {}"},
        {200, R"({"ok":"true"})", "Resposta inesperada do servidor."},
        {200, R"({"ok":false,"err":5})", "Resposta inesperada do servidor."},
        {200, R"({"ok":true,"note":null})", "Resposta inesperada do servidor."},
        {200, "OK", "Resposta inesperada do servidor."},
        {200, "[true]", "Resposta inesperada do servidor."},
        {399, "", "Resposta inesperada do servidor."},
        {400, R"({"ok":true})", R"(Erro: {"ok":true})"},
    };
    for (const auto& c : cases) {
        brevant::HttpResult result{c.status >= 200 && c.status <= 299, c.status, c.body};
        EXPECT_EQ(brevant::ranks::replyText(true, result), c.text) << c.status << " " << c.body;
    }
    EXPECT_EQ(brevant::ranks::replyText(false, {}), "Falha HTTP.");
}

TEST(RankReply, DurationsRoundUp) {
    EXPECT_EQ(formatDuration(-1), "");
    EXPECT_EQ(formatDuration(0), "0s");
    EXPECT_EQ(formatDuration(1), "1s");
    EXPECT_EQ(formatDuration(59'999), "60s");
    EXPECT_EQ(formatDuration(60'000), "1m");
    EXPECT_EQ(formatDuration(61'000), "2m");
    EXPECT_EQ(formatDuration(3'599'999), "60m");
    EXPECT_EQ(formatDuration(3'600'000), "1h");
    EXPECT_EQ(formatDuration(3'600'001), "2h");
    EXPECT_EQ(formatDuration(47 * 3'600'000LL), "47h");
    EXPECT_EQ(formatDuration(47 * 3'600'000LL + 1), "2d");
    EXPECT_EQ(formatDuration(INT64_MAX), "106751991168d");
}

}  // namespace

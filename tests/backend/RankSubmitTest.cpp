// POST /rank-submit: every answer the plugin has to tell apart.
#include <atomic>

#include <gtest/gtest.h>

#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

Json rank(int playlistId, const char* playlist, int tier, int division, double mmr) {
    return {{"division", division},
            {"mmr", mmr},
            {"playlist", playlist},
            {"playlistId", playlistId},
            {"tier", tier}};
}

std::string body(const std::string& device, Json ranks) {
    return Json{{"deviceId", device}, {"ranks", std::move(ranks)}}.dump();
}

const Json kTwoRanks = {rank(10, "Ranked 1v1", 9, 2, 812.0), rank(11, "Ranked 2v2", 14, 0, 1234.0)};

class RankSubmitTest : public BackendTest {
protected:
    RankSubmitTest() {
        // A clock the test moves: the cooldown is ten minutes of it.
        options_.rankCooldown = std::chrono::minutes(10);
        options_.clock = [this] { return base_ + std::chrono::milliseconds(offsetMs_.load()); };
    }
    HttpAnswer submit(const std::string& text) {
        return httpPost(ports().rank, "/rank-submit", text,
                        "Content-Type: application/json; charset=utf-8\r\n");
    }
    Json submitJson(const std::string& text) {
        const HttpAnswer answer = submit(text);
        EXPECT_EQ(answer.status, 200u) << answer.body;
        return answer.json();
    }

    const std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
    std::atomic<long long> offsetMs_{0};
};

TEST_F(RankSubmitTest, UnpairedDeviceHasNoDiscordLinked) {
    ASSERT_TRUE(start());
    EXPECT_EQ(submitJson(body("stranger", kTwoRanks)),
              Json({{"ok", false}, {"err", "NO_DISCORD_LINKED"}}));
}

TEST_F(RankSubmitTest, NoReadableRankIsNoValidRanksAndStartsNoCooldown) {
    ASSERT_TRUE(start());
    server_->pair("dev", "u");
    const Json noValidRanks = {{"ok", true}, {"note", "NO_VALID_RANKS"}};
    EXPECT_EQ(submitJson(body("dev", Json::array())), noValidRanks);
    EXPECT_EQ(submitJson(body("dev", {rank(11, "Ranked 2v2", 0, 0, 100.0),     // unranked
                                      rank(12, "Ranked 4v4", 5, 1, 700.0),     // not ranked
                                      rank(13, "Ranked 2v2", 5, 1, 700.0)})),  // wrong name
              noValidRanks);
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)), Json({{"ok", true}}));
}

TEST_F(RankSubmitTest, CooldownGivesTheRemainingTimeAndUnchangedRanksRenewIt) {
    ASSERT_TRUE(start());
    server_->pair("dev", "u");
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)), Json({{"ok", true}}));

    offsetMs_ = 9 * 60 * 1000 + 59500;
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)),
              Json({{"ok", true}, {"note", "COOLDOWN"}, {"retryAfterMs", 500}}));

    // Over: the same ranks again (in another order) are unchanged, and the wait starts anew.
    offsetMs_ = 10 * 60 * 1000;
    EXPECT_EQ(submitJson(body("dev", {kTwoRanks[1], kTwoRanks[0]})),
              Json({{"ok", true}, {"note", "UNCHANGED"}}));
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)),
              Json({{"ok", true}, {"note", "COOLDOWN"}, {"retryAfterMs", 600000}}));

    // Another device has its own cooldown; new ranks are accepted once the wait is over.
    server_->pair("other", "v");
    EXPECT_EQ(submitJson(body("other", kTwoRanks)), Json({{"ok", true}}));
    offsetMs_ = 20 * 60 * 1000;
    EXPECT_EQ(submitJson(body("dev", Json::array({rank(11, "Ranked 2v2", 15, 0, 1301.0)}))),
              Json({{"ok", true}}));
    EXPECT_TRUE(server_->waitForLog("rank-submit device=dev ranks=1 -> {\"ok\":true}", kWait));
}

TEST_F(RankSubmitTest, ForcedErrorsAnswerTheNextSubmissionOnly) {
    ASSERT_TRUE(start());
    server_->pair("dev", "u");
    for (const char* err :
         {"GUILD_NOT_FOUND", "ROLE_ID_INVALID", "CANNOT_MODIFY_ROLES", "DB_ERROR"}) {
        EXPECT_EQ(server_->runCommand(std::string("fail-rank ") + err).rfind("error", 0),
                  std::string::npos);
        EXPECT_EQ(submitJson(body("dev", kTwoRanks)), Json({{"ok", false}, {"err", err}}));
        offsetMs_ += 11 * 60 * 1000;
    }
    // Consumed: the next one is decided normally (accepted once, then unchanged).
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)), Json({{"ok", true}}));
    server_->runCommand("fail-rank DB_ERROR");
    server_->runCommand("fail-rank off");
    offsetMs_ += 11 * 60 * 1000;
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)), Json({{"ok", true}, {"note", "UNCHANGED"}}));
}

TEST_F(RankSubmitTest, MalformedBodiesAreRefusedWith400) {
    ASSERT_TRUE(start());
    server_->pair("dev", "u");
    Json wrongTier = rank(11, "Ranked 2v2", 5, 1, 1.0);
    wrongTier["tier"] = "5";
    Json mmrMissing = rank(11, "Ranked 2v2", 5, 1, 1.0);
    mmrMissing.erase("mmr");
    const std::string bodies[] = {
        "",
        "not json",
        "[]",
        R"({"ranks":[]})",
        R"({"deviceId":7,"ranks":[]})",
        R"({"deviceId":"","ranks":[]})",
        R"({"deviceId":"dev","ranks":{}})",
        R"({"deviceId":"dev","ranks":[5]})",
        body("dev", Json::array({wrongTier})),
        body("dev", Json::array({mmrMissing})),
        R"({"deviceId":"dev","ranks":[)" + std::string(5000, '[') + "]}",
    };
    for (const std::string& text : bodies) {
        const HttpAnswer answer = submit(text);
        EXPECT_EQ(answer.status, 400u) << text.substr(0, 60);
        EXPECT_FALSE(answer.body.empty());
    }
    EXPECT_EQ(httpGet(ports().rank, "/rank-submit").status, 405u);
    EXPECT_EQ(submitJson(body("dev", kTwoRanks)), Json({{"ok", true}}));
    EXPECT_EQ(server_->rankSubmissions().back().ranks, kTwoRanks);
}

}  // namespace
}  // namespace backend_test

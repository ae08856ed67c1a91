// The game result report called directly on the stand-in host (the test thread is the game
// thread, the clock is the host's manual clock): the message, its rules, when nothing is sent,
// and text that is not UTF-8.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/Json.h"
#include "platform/Clock.h"
#include "results/GameResult.h"
#include "sdk/GameWrapper.h"
#include "tests/support/CoreHost.h"

namespace {

using testing_support::CoreHost;

class GameResult : public ::testing::Test {
protected:
    void SetUp() override {
        brevant::resetResultState();
        host.game().enterPrivateMatch("Sala", "Stadium_P");
        gw = host.rt().makeGameWrapper();
    }
    void setScores(std::optional<int> blue, std::optional<int> orange) {
        host.game().onlineGame->teamScores = {blue, orange};
    }
    // One report with the usual inputs; what it sends and logs is kept.
    void report(bool paired = true, bool owned = true, bool wrapper = true,
                const std::string& server = "Sala") {
        brevant::reportGameResult(
            wrapper ? gw.get() : nullptr, paired, owned, server, "dev-1", "0.0.2", 9,
            [&](const std::string& text) {
                sent.push_back(text);
                return std::string();
            },
            [&](const std::string& line) { logged.push_back(line); });
    }

    CoreHost host;
    std::shared_ptr<GameWrapper> gw;
    std::vector<std::string> sent;
    std::vector<std::string> logged;
};

// Winner, unique ids, names, team numbers, null entries, and the message byte for byte: its
// members and each player's in ascending key order, compact.
TEST_F(GameResult, TheMessageFollowsTheRulesByteForByte) {
    struct Player {
        std::optional<sdk::PlayerModel> given;  // nullopt: a null entry of the list
        const char* reported;                   // nullptr: skipped
    };
    const Player players[] = {
        {sdk::PlayerModel{"Ana", "76561198012345678", 0},
         R"({"epicId":"","name":"Ana","steamId":"76561198012345678","team":"blue"})"},
        {sdk::PlayerModel{"Bo\tC\nD\r", "00012", 1},
         R"({"epicId":"","name":"Bo C D ","steamId":"12","team":"orange"})"},
        {std::nullopt, nullptr},
        {sdk::PlayerModel{"Cy\x01\x1f\x7f", "18446744073709551615", 255},
         "{\"epicId\":\"\",\"name\":\"Cy  \x7f\",\"steamId\":\"18446744073709551615\","
         "\"team\":\"orange\"}"},
        {sdk::PlayerModel{"Di", "18446744073709551616", 2},
         R"({"epicId":"","name":"Di","steamId":"18446744073709551615","team":"orange"})"},
        {sdk::PlayerModel{"Ed", "99999999999999999999999", 0},
         R"({"epicId":"","name":"Ed","steamId":"18446744073709551615","team":"blue"})"},
        {sdk::PlayerModel{"Fa", "8f1c2d3e4a5b46c7a8d9e0f1a2b3c4d5", 0},
         R"({"epicId":"8f1c2d3e4a5b46c7a8d9e0f1a2b3c4d5","name":"Fa","steamId":"0","team":"blue"})"},
        {sdk::PlayerModel{"Gu", "7656-1198", 1},
         R"({"epicId":"7656-1198","name":"Gu","steamId":"0","team":"orange"})"},
        {sdk::PlayerModel{"Hu", " 7656", 0},
         R"({"epicId":" 7656","name":"Hu","steamId":"0","team":"blue"})"},
        {sdk::PlayerModel{"\xC3\x8Dris", "", 0},
         "{\"epicId\":\"\",\"name\":\"\xC3\x8Dris\",\"steamId\":\"0\",\"team\":\"blue\"}"},
    };
    std::string expectedPlayers;
    for (const auto& p : players) {
        host.game().onlineGame->players.push_back(p.given);
        if (p.reported)
            expectedPlayers += (expectedPlayers.empty() ? "" : ",") + std::string(p.reported);
    }
    setScores(3, 1);
    host.advance(12.3456);  // finishedAt: whole milliseconds of the monotonic clock
    report();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], R"({"blueGoals":3,"deviceId":"dev-1","finishedAt":12345,)"
                       R"("mapCode":"Stadium_P","mapName":"Stadium_P","orangeGoals":1,)"
                       R"("players":[)" +
                           expectedPlayers +
                           R"(],"region":9,"server":"Sala","t":"game_result",)"
                           R"("version":"0.0.2","winner":"blue"})");
    EXPECT_EQ(logged, (std::vector<std::string>{"[BRV] game_result enviado: blue 3-1"}));

    // Winners (each score another game, so each is reported); a null team scores 0.
    struct Score {
        std::optional<int> blue, orange;
        const char* winner;
        const char* log;
    };
    const Score scores[] = {
        {2, 2, "draw", "[BRV] game_result enviado: draw 2-2"},
        {0, 1, "orange", "[BRV] game_result enviado: orange 0-1"},
        {std::nullopt, 4, "orange", "[BRV] game_result enviado: orange 0-4"},
        {5, std::nullopt, "blue", "[BRV] game_result enviado: blue 5-0"},
        {0, 0, "draw", "[BRV] game_result enviado: draw 0-0"},
    };
    for (const auto& s : scores) {
        SCOPED_TRACE(s.log);
        sent.clear();
        logged.clear();
        setScores(s.blue, s.orange);
        report();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(brevant::json::parse(sent[0]).at("winner"), s.winner);
        EXPECT_EQ(logged, (std::vector<std::string>{s.log}));
    }

    // The helpers on their own.
    EXPECT_EQ(brevant::teamName(0), "blue");
    EXPECT_EQ(brevant::teamName(1), "orange");
    EXPECT_EQ(brevant::teamName(255), "orange");
    EXPECT_EQ(brevant::sanitizeName(std::string("a\0b\x1f c", 6)), "a b  c");
}

// When nothing is sent, and whether the last attempt's key was taken. The key is taken before the
// private-match test; a lost send is not retried, so a second trigger sends nothing either.
TEST_F(GameResult, NothingIsSentOutsideAnOwnedPairedPrivateMatch) {
    struct Case {
        const char* what;
        bool paired = true, owned = true, wrapper = true;
        std::function<void(sdk::GameModel&)> game;
        bool keyTaken;
        int blue = 1, orange = 0;  // the score in the key: 0-0 without an online game
    };
    const Case cases[] = {
        {"not owned (a plugin that joined)", true, false, true, nullptr, false},
        {"not paired", false, true, true, nullptr, false},
        {"no game wrapper", true, true, false, nullptr, false},
        {"not a private match", true, true, true,
         [](sdk::GameModel& g) { g.onlineGame->privateMatch = false; }, true},
        {"a game without a playlist", true, true, true,
         [](sdk::GameModel& g) { g.onlineGame->hasPlaylist = false; }, true},
        {"no online game", true, true, true, [](sdk::GameModel& g) { g.onlineGame.reset(); }, true,
         0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        brevant::resetResultState();
        host.game().enterPrivateMatch("Sala", "Stadium_P");
        setScores(1, 0);
        if (c.game)
            c.game(host.game());
        sent.clear();
        logged.clear();
        report(c.paired, c.owned, c.wrapper);
        EXPECT_TRUE(sent.empty());
        EXPECT_TRUE(logged.empty());
        const auto attempt = brevant::lastResultAttempt();
        EXPECT_EQ(attempt.has_value(), c.keyTaken);
        if (attempt) {
            EXPECT_EQ(attempt->key, brevant::resultKey("Stadium_P", c.blue, c.orange));
            EXPECT_EQ(attempt->atNanos, platform::steadyNanos());
        }
    }

    // No connection: the sender drops the text. The attempt stands, and the other trigger of the
    // same game sends nothing, even with a connection by then.
    brevant::resetResultState();
    host.game().enterPrivateMatch("Sala", "Stadium_P");
    setScores(1, 0);
    logged.clear();
    int dropped = 0;
    brevant::reportGameResult(
        gw.get(), true, true, "Sala", "dev-1", "0.0.2", 9,
        [&](const std::string&) {
            ++dropped;
            return std::string("sem conexao");
        },
        [&](const std::string& line) { logged.push_back(line); });
    EXPECT_EQ(dropped, 1);
    // "Sent" only when the session took it.
    EXPECT_EQ(logged,
              std::vector<std::string>{"[BRV] game_result nao enviado (sem conexao): blue 1-0"});
    logged.clear();
    host.advance(0.2);
    report();
    EXPECT_TRUE(sent.empty());
    ASSERT_TRUE(brevant::lastResultAttempt().has_value());
    EXPECT_EQ(brevant::lastResultAttempt()->atNanos, 0);
}

// A name, an id or a server name that is not valid UTF-8: the bad bytes become U+FFFD and the
// report goes out; nothing is thrown out of the game-thread task.
TEST_F(GameResult, TextThatIsNotUtf8IsSentWithReplacementCharacters) {
    host.game().onlineGame->players = {sdk::PlayerModel{"Jo\xC3o",
                                                        "\xFF\xFE"
                                                        "1",
                                                        1}};
    setScores(0, 2);
    report(true, true, true, "Sala \xE9");
    ASSERT_EQ(sent.size(), 1u);
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_NE(sent[0].find(R"("players":[{"epicId":")" + fffd + fffd + R"(1","name":"Jo)" + fffd +
                           R"(o","steamId":"0","team":"orange"}])"),
              std::string::npos)
        << sent[0];
    EXPECT_NE(sent[0].find(R"("server":"Sala )" + fffd + '"'), std::string::npos) << sent[0];
    EXPECT_TRUE(brevant::json::accept(sent[0]));
    EXPECT_EQ(logged, (std::vector<std::string>{"[BRV] game_result enviado: orange 0-2"}));
}

}  // namespace

// The backend program keeps what it answered across kill -9 and restarts, in its state file.
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ChildProcess.h"
#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

using namespace std::chrono_literals;

// The program on ports of its choosing, with its state and uploads in `dir`.
class Program {
public:
    explicit Program(const std::filesystem::path& dir) {
        platform::ChildLaunch launch;
        launch.program = BREVANT_BACKEND_PROGRAM;
        launch.arguments = {"--ws-port",      "0",
                            "--pair-port",    "0",
                            "--rank-port",    "0",
                            "--upload-port",  "0",
                            "--upload-dir",   (dir / "up").string(),
                            "--state",        (dir / "state.sqlite").string(),
                            "--ping-seconds", "0",
                            "--no-console"};
        launch.onLine = [this](const std::string& line) {
            static const std::regex ports(R"(: ws (\d+), pair (\d+), rank (\d+), upload (\d+))");
            std::smatch m;
            std::lock_guard lock(mutex_);
            if (std::regex_search(line, m, ports))
                ports_ = {std::uint16_t(std::stoi(m[1])), std::uint16_t(std::stoi(m[2])),
                          std::uint16_t(std::stoi(m[3])), std::uint16_t(std::stoi(m[4]))};
            lines_ += line + "\n";
            changed_.notify_all();
        };
        std::string error;
        child_ = platform::ChildProcess::start(std::move(launch), error);
        EXPECT_TRUE(child_) << error;
    }
    // The ports, once it printed them.
    std::optional<brevant::backend::Ports> ports() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 10s, [this] { return ports_.ws != 0; }))
            return std::nullopt;
        return ports_;
    }
    void kill() { child_->kill(); }
    std::string lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    brevant::backend::Ports ports_;
    std::string lines_;
    std::unique_ptr<platform::ChildProcess> child_;
};

std::string uploadBody(int n) {
    const std::string open = "--b\r\nContent-Disposition: form-data; name=";
    return open + "\"deviceId\"\r\n\r\ndevA\r\n" + open + "\"server\"\r\n\r\nS\r\n" + open +
           "\"file\"; filename=\"r" + std::to_string(n) + ".replay\"\r\n\r\n" +
           std::string(1000 + n, 'r') + "\r\n--b--\r\n";
}

// 20, or BREVANT_KILL_ROUNDS (0 skips the test: the TSan stage).
int rounds() {
    const char* text = std::getenv("BREVANT_KILL_ROUNDS");
    return text ? std::atoi(text) : 20;
}

// Each round starts the program on the state file the last one left, checks that every write
// it answered (a pairing, an upload's 200, a rank's cooldown) and every result it acknowledged
// (by answering what the client sent next) is there, then does more of each until it is killed
// at a random moment.
TEST(StateFile, EveryAnsweredWriteAndResultOutlivesAKill) {
    if (rounds() <= 0)
        GTEST_SKIP() << "BREVANT_KILL_ROUNDS=0";
    testing_support::TempDir dir{"brevant-state"};
    std::mt19937 random(20261208);
    std::vector<int> results, uploads;  // acknowledged
    int sent = 0;
    for (int round = 0; round < rounds(); ++round) {
        Program program(dir.path());
        const auto ports = program.ports();
        ASSERT_TRUE(ports) << program.lines();
        const std::string listed =
            adminPost(ports->pair, "results").body + adminPost(ports->pair, "uploads").body;
        for (int n : results) {
            ASSERT_NE(listed.find("finishedAt=" + std::to_string(n) + "\n"), std::string::npos)
                << "round " << round << ": result " << n << " lost\n"
                << listed;
        }
        for (int n : uploads) {
            ASSERT_NE(listed.find("file='r" + std::to_string(n) + ".replay'"), std::string::npos)
                << "round " << round << ": upload " << n << " lost\n"
                << listed;
        }
        const std::string ranks =
            R"({"deviceId":"devA","ranks":[{"playlistId":11,"playlist":"Ranked 2v2","tier":5,)"
            R"("division":1,"mmr":500}]})";
        if (round == 0) {
            ASSERT_EQ(adminPost(ports->pair, "pair devA").status, 200u);
            ASSERT_EQ(httpPost(ports->rank, "/rank-submit", ranks).body, "{\"ok\":true}");
        } else {
            const auto rank = httpPost(ports->rank, "/rank-submit", ranks);
            EXPECT_EQ(rank.json().value("note", ""), "COOLDOWN") << rank.body;
        }
        WsClient ws(ports->ws);
        ws.hello("devA");
        ASSERT_TRUE(ws.waitForType("paired_ok")) << "the pairing is kept";

        std::thread killer([&, delay = std::uniform_int_distribution<int>(0, 60)(random)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));  // the random moment
            program.kill();
        });
        for (int op = 0; op < 10; ++op) {
            const int n = ++sent;
            if (random() % 2) {
                ws.send(R"({"t":"game_result","server":"S","finishedAt":)" + std::to_string(n) +
                        "}");
                const std::size_t from = ws.count();
                ws.hello("devA");  // its answer comes after the result is kept
                if (!ws.waitForType("paired_ok", from))
                    break;
                results.push_back(n);
            } else {
                const auto answer =
                    httpPost(ports->upload, "/upload-replay", uploadBody(n),
                             "Content-Type: multipart/form-data; boundary=b\r\n"
                             "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n");
                if (answer.status != 200)
                    break;
                uploads.push_back(n);
            }
        }
        killer.join();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "state.sqlite").string().c_str(), &db), SQLITE_OK);
    std::string check;
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0];
            return 0;
        },
        &check, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(check, "ok");
    EXPECT_GT(results.size() + uploads.size(), 0u);
    std::cout << "rounds " << rounds() << ": " << results.size() << " results and "
              << uploads.size() << " uploads acknowledged, none lost\n";
}

const std::string kUploadHeaders =
    "Content-Type: multipart/form-data; boundary=b\r\n"
    "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n";

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// At start the uploads' index follows the folder, and a file the backend did not write (not
// SQLite, or another schema) is refused with its name and left as it was.
class StateFileStart : public BackendTest {};

TEST_F(StateFileStart, TheIndexFollowsTheFolderAndAFileOfAnotherKindIsLeftAlone) {
    options_.statePath = (dir_.path() / "state.sqlite").string();
    ASSERT_TRUE(start());
    for (int n : {1, 2})
        ASSERT_EQ(httpPost(ports().upload, "/upload-replay", uploadBody(n), kUploadHeaders).status,
                  200u);
    server_.reset();
    std::filesystem::remove(options_.uploadDir / "000001.replay");
    ASSERT_TRUE(start());
    ASSERT_EQ(server_->uploads().size(), 1u);
    EXPECT_EQ(server_->uploads()[0].fileName, "r2.replay");
    EXPECT_TRUE(server_->waitForLog("uploads: 1 in the index of " + options_.statePath, 0ms));
    EXPECT_TRUE(server_->waitForLog("1 rows whose replay is gone removed", 0ms));
    server_.reset();

    const auto garbage = dir_.path() / "garbage.sqlite";
    std::ofstream(garbage) << std::string(4096, 'x');
    const auto newer = dir_.path() / "newer.sqlite";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(newer.string().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t(x); PRAGMA user_version=7", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    for (const auto& file : {garbage, newer}) {
        const std::string before = readAll(file);
        options_.statePath = file.string();
        brevant::backend::Server server(options_);
        std::string error;
        EXPECT_FALSE(server.start(&error));
        EXPECT_EQ(error.rfind("state file " + file.string() + ": ", 0), 0u) << error;
        EXPECT_EQ(readAll(file), before);
    }
}

// The state file in the test's hands as well: another program (an admin's sqlite3 shell, a
// backup) may hold its write lock, which the backend meets as it would a full or failing disk.
class StateFileFault : public BackendTest {
protected:
    StateFileFault() { options_.statePath = (dir_.path() / "state.sqlite").string(); }
    ~StateFileFault() override { sqlite3_close(db_); }
    void sql(const std::string& text) {
        if (!db_) {
            ASSERT_EQ(sqlite3_open(options_.statePath.c_str(), &db_), SQLITE_OK);
            sqlite3_busy_timeout(db_, 5000);
        }
        ASSERT_EQ(sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db_);
    }
    // The first column of `select`'s rows, one a line.
    std::string rows(const std::string& select) {
        std::string out;
        sqlite3_exec(
            db_, select.c_str(),
            [](void* to, int, char** values, char**) {
                *static_cast<std::string*>(to) += std::string(values[0]) + "\n";
                return 0;
            },
            &out, nullptr);
        return out;
    }
    sqlite3* db_ = nullptr;
};

// While the file cannot be written, nothing tells of what waits for it: the session of a
// result hears nothing, an admin's pairing is answered 202 "not kept yet", and an upload whose
// row cannot be written is answered 503 and leaves nothing. Once the file takes writes again,
// all of it is kept and the session goes on.
TEST_F(StateFileFault, WhatTheFileCannotTakeIsToldOfOnlyOnceKept) {
    ASSERT_TRUE(start());
    server_->pair("devA");
    WsClient a(ports().ws);
    a.hello("devA");
    ASSERT_TRUE(a.waitForType("paired_ok"));
    const std::string body = uploadBody(1);
    TcpClient upload(ports().upload);
    upload.send("POST /upload-replay HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kUploadHeaders +
                "Expect: 100-continue\r\nConnection: close\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n");
    ASSERT_NE(upload.readUntil([](const std::string& r) { return r.find("\r\n\r\n") != r.npos; })
                  .find("HTTP/1.1 100 "),
              std::string::npos);

    sql("BEGIN IMMEDIATE");
    const std::size_t mark = server_->logCount();
    a.send(R"({"t":"game_result","server":"S","finishedAt":1})");
    ASSERT_TRUE(server_->waitForLog("cannot be written now (database is locked)", kWait, mark));
    EXPECT_EQ(server_->runCommand("ping devA"), R"(sent to devA: {"t":"ping"})");
    const HttpAnswer admin = adminPost(ports().pair, "pair devB");
    EXPECT_EQ(admin.status, 202u);
    EXPECT_NE(admin.body.find("not kept yet: the state file cannot be written now (database is "
                              "locked); the backend writes it again by itself"),
              std::string::npos)
        << admin.body;
    upload.send(body);
    const std::string answer = upload.readUntil([](const std::string&) { return false; });
    EXPECT_NE(answer.find("HTTP/1.1 503 "), std::string::npos) << answer;
    EXPECT_NE(answer.find("NOT_KEPT"), std::string::npos) << answer;
    EXPECT_TRUE(std::filesystem::is_empty(options_.uploadDir));
    EXPECT_EQ(a.count(), 1u) << "only paired_ok: the ping waits for the result";

    sql("COMMIT");
    ASSERT_TRUE(a.waitForType("ping"));
    EXPECT_EQ(rows("SELECT message FROM results"),
              "{\"finishedAt\":1,\"server\":\"S\",\"t\":\"game_result\"}\n");
    EXPECT_EQ(rows("SELECT device FROM pairs ORDER BY device"), "devA\ndevB\n");
    EXPECT_TRUE(server_->waitForLog(": written again after ", kWait, mark));
}

// A plugin that lost its connection sends its result again on the next one: while the first
// copy waits for the file, the copy sent again holds its session; when the first is not kept
// (refused for good here), the second is recorded in its place, once.
TEST_F(StateFileFault, ARepeatWaitsForTheCopyNotKeptYetAndIsRecordedWhenThatOneIsNot) {
    ASSERT_TRUE(start());
    server_->pair("devA");
    sql("CREATE TRIGGER refuse BEFORE INSERT ON results WHEN NEW.message LIKE '%\"copy\":1%' "
        "BEGIN SELECT RAISE(ABORT, 'refused for good'); END");
    sql("BEGIN IMMEDIATE");
    const std::size_t mark = server_->logCount();
    {
        WsClient first(ports().ws);
        first.hello("devA");
        ASSERT_TRUE(first.waitForType("paired_ok"));
        first.send(R"({"t":"game_result","server":"S","finishedAt":7,"copy":1})");
        ASSERT_TRUE(server_->waitForLog("[devA] game_result server='S'", kWait, mark));
    }
    WsClient second(ports().ws);
    second.hello("devA");
    ASSERT_TRUE(second.waitForType("paired_ok"));
    second.send(R"({"t":"game_result","server":"S","finishedAt":7,"copy":2})");
    ASSERT_TRUE(server_->waitForLog(
        "a repeat of one from this device not kept yet, held until it is", kWait, mark));
    server_->runCommand("ping devA");

    sql("COMMIT");
    ASSERT_TRUE(second.waitForType("ping"));
    EXPECT_EQ(rows("SELECT message FROM results"),
              "{\"copy\":2,\"finishedAt\":7,\"server\":\"S\",\"t\":\"game_result\"}\n");
    EXPECT_EQ(second.count(), 2u);  // paired_ok, ping
    EXPECT_TRUE(server_->waitForLog("a game result was not kept: refused for good", 0ms, mark));
    EXPECT_EQ(server_->gameResults().size(), 1u);
}

}  // namespace
}  // namespace backend_test

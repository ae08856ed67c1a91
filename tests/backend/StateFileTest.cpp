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

}  // namespace
}  // namespace backend_test

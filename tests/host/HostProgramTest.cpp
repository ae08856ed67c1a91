// The host program as a user starts it: its own process, its console on standard input and
// output.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ChildProcess.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// One run of the host program, its output kept line by line.
class HostRun {
public:
    explicit HostRun(std::vector<std::string> arguments,
                     const std::string& backend = "127.0.0.1:1:1:1:1") {  // nothing there
        platform::ChildLaunch launch;
        launch.program = BREVANT_HOST_PROGRAM;
        launch.arguments = std::move(arguments);
        launch.environment = {{"BREVANT_BACKEND", backend}};
        launch.onLine = [this](const std::string& line) {
            std::lock_guard lk(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
        std::string error;
        process_ = platform::ChildProcess::start(std::move(launch), error);
        EXPECT_NE(process_, nullptr) << error;
    }
    // Waits for a line that holds `text`.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 30s) {
        std::unique_lock lk(mutex_);
        return changed_.wait_for(lk, timeout, [&] {
            for (const auto& line : lines_)
                if (line.find(text) != std::string::npos)
                    return true;
            return false;
        });
    }
    std::string output() {
        std::lock_guard lk(mutex_);
        std::string all;
        for (const auto& line : lines_)
            all += line + "\n";
        return all;
    }
    platform::ChildProcess& process() { return *process_; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::unique_ptr<platform::ChildProcess> process_;
};

std::vector<std::string> hostArguments(const testing_support::TempDir& data) {
    return {"--data", data.path().string(), "--module", BREVANT_MODULE_PATH, "--headless"};
}

TEST(HostProgram, ASecondHostOnTheSameDataFolderIsRefusedUntilTheFirstEnds) {
    testing_support::TempDir data;
    HostRun first(hostArguments(data));
    ASSERT_TRUE(first.waitFor("[BRV] Loaded.")) << first.output();

    HostRun second(hostArguments(data));
    EXPECT_EQ(second.process().waitForExit(30s), 4) << second.output();
    EXPECT_TRUE(second.waitFor("is in use by another brevant-host", 0s)) << second.output();
    EXPECT_FALSE(second.waitFor("[BRV] Loaded.", 0s));

    // A host that dies without a word leaves no lock behind.
    first.process().kill();
    first.process().waitForExit(30s);
    HostRun third(hostArguments(data));
    ASSERT_TRUE(third.waitFor("[BRV] Loaded.")) << third.output();
    third.process().writeLine("quit");
    EXPECT_EQ(third.process().waitForExit(30s), 0) << third.output();
}

TEST(HostProgram, AWrongArgumentIsNamedHelpExitsZeroAndAnUnknownMenuIsTold) {
    HostRun wrong({"--headless", "--run-secs", "3"});
    EXPECT_EQ(wrong.process().waitForExit(30s), 2) << wrong.output();
    EXPECT_TRUE(wrong.waitFor("brevant-host: unknown option --run-secs", 0s)) << wrong.output();
    EXPECT_TRUE(wrong.waitFor("Try 'brevant-host --help' for the options.", 0s));
    HostRun help({"--help"});
    EXPECT_EQ(help.process().waitForExit(30s), 0) << help.output();
    EXPECT_TRUE(help.waitFor("usage: brevant-host", 0s)) << help.output();

    // The menu is told; the rest runs.
    testing_support::TempDir data;
    auto arguments = hostArguments(data);
    arguments.insert(arguments.end(), {"--show", "Brevan"});
    HostRun run(arguments);
    ASSERT_TRUE(
        run.waitFor("brevant-host: --show Brevan: no such menu; the menus are: Brevant, "
                    "settings"))
        << run.output();
    ASSERT_TRUE(run.waitFor("[BRV] Loaded.")) << run.output();
    run.process().writeLine("quit");
    EXPECT_EQ(run.process().waitForExit(30s), 0) << run.output();
}

// The simulated game saves its replays under the data folder, not the user's Documents, and the
// plugin watches the same folder (on Windows the plugin asks the shell for Documents, which the
// host program cannot change for it).
TEST(HostProgram, TheGameAndThePluginUseTheDocumentsFolderInTheDataFolder) {
    testing_support::TempDir data;
    const auto demos =
        data.path() / "Documents" / "My Games" / "Rocket League" / "TAGame" / "Demos";
    HostRun run(hostArguments(data));
    ASSERT_TRUE(run.waitFor("[BRV] Loaded.")) << run.output();
#ifndef _WIN32
    EXPECT_TRUE(run.waitFor("[BRV] Watcher de replays ON em: " + demos.string(), 0s))
        << run.output();
#endif
    run.process().writeLine("game replay 10");
    ASSERT_TRUE(run.waitFor("game: replay saved: " + demos.string())) << run.output();
    // No backend: the host program says once where it looked and what to do.
    const std::string hint =
        "brevant-host: no backend answered at BREVANT_BACKEND=127.0.0.1:1:1:1:1; start the "
        "reference backend with ./dev backend";
    ASSERT_TRUE(run.waitFor(hint)) << run.output();
    run.process().writeLine("quit");
    EXPECT_EQ(run.process().waitForExit(30s), 0) << run.output();
    const std::string all = run.output();
    EXPECT_EQ(all.find(hint), all.rfind(hint)) << all;
}

// A replay waiting in the outbox while its upload is under way stays there when the host program
// is killed, and goes up once, whole, at the next start.
TEST(HostProgram, AnUploadCutByAKillIsDeliveredOnceAtTheNextStart) {
    testing_support::TempDir data;
    namespace fs = std::filesystem;
    const auto outbox = data.path() / "Brevant" / "outbox";
    fs::create_directories(outbox);
    fs::create_directories(data.path() / "cfg");
    std::ofstream(data.path() / "cfg" / "config.cfg") << "brv_watch_replays \"0\"\n";
    const auto replay = data.path() / "replay_VXA_kill.replay";
    std::ofstream(replay, std::ios::binary) << testing_support::patternBytes(200000);
    const auto record = outbox / "0000000000001-000001-replay.json";
    std::ofstream(record)
        << R"({"attempts":0,"created":)"
        << std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count()
        << R"(,"deviceId":"dev","kind":"replay","name":"replay_VXA_kill.replay","owned":true,"path":")"
        << replay.generic_string()
        << R"(","server":"Sala","size":200000,"uploader":"","writeTime":0})";
    auto backendFor = [](const testing_support::HttpTestServer& uploads) {
        return "127.0.0.1:1:1:1:" + std::to_string(uploads.port());
    };

    testing_support::HttpTestServer stalled;
    stalled.setFallback(testing_support::HttpCannedResponse::withAction(
        testing_support::HttpCannedResponse::Action::Stall));
    {
        HostRun first(hostArguments(data), backendFor(stalled));
        ASSERT_TRUE(first.waitFor("[BRV] Loaded.")) << first.output();
        // A bounded wait on the server's condition: a spinning wait took a core from the host
        // program it waits for, on a busy machine long enough to fail.
        ASSERT_TRUE(stalled.waitForRequests(1, 60s)) << first.output();
        ASSERT_EQ(stalled.requestCount(), 1u);
        first.process().kill();
        first.process().waitForExit(30s);
    }
    EXPECT_TRUE(fs::exists(record));

    testing_support::HttpTestServer accepting;
    accepting.route("/upload-replay", testing_support::HttpCannedResponse::make(200, "{}"));
    HostRun second(hostArguments(data), backendFor(accepting));
    ASSERT_TRUE(second.waitFor("[BRV] Replay enviado (replay_VXA_kill.replay)")) << second.output();
    second.process().writeLine("quit");
    EXPECT_EQ(second.process().waitForExit(30s), 0) << second.output();
    ASSERT_EQ(accepting.requestCount(), 1u);
    EXPECT_NE(accepting.requests()[0].body.find(testing_support::patternBytes(200000)),
              std::string::npos);
    EXPECT_FALSE(fs::exists(record));
}

}  // namespace

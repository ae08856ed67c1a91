// The host program as a user starts it: its own process, its console on standard input and
// output.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// One run of the host program, its output kept line by line.
class HostRun {
public:
    explicit HostRun(std::vector<std::string> arguments) {
        platform::ChildLaunch launch;
        launch.program = BREVANT_HOST_PROGRAM;
        launch.arguments = std::move(arguments);
        launch.environment = {{"BREVANT_BACKEND", "127.0.0.1:1:1:1:1"}};  // nothing there
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

}  // namespace

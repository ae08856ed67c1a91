// A child process fed and read line by line, with its exit code.
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The system's shell, reading commands from its input.
platform::ChildLaunch shellReadingInput(std::vector<std::string>& lines, std::mutex& mutex) {
    platform::ChildLaunch launch;
#ifdef _WIN32
    launch.program = "C:\\windows\\system32\\cmd.exe";
    launch.arguments = {"/q"};  // no echo of the commands
#else
    launch.program = "/bin/sh";
#endif
    launch.environment = {{"BREVANT_CHILD_WORD", "word"}};
    launch.onLine = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        if (line.find_first_not_of(' ') != std::string::npos)
            lines.push_back(line.substr(line.find_first_not_of(' ')));
    };
    return launch;
}

TEST(ChildProcess, LinesGoInAndComeOutAndTheExitCodeIsKept) {
    std::vector<std::string> lines;
    std::mutex mutex;
    std::condition_variable seen;
    auto launch = shellReadingInput(lines, mutex);
    launch.onLine = [&, keep = std::move(launch.onLine)](const std::string& line) {
        keep(line);
        seen.notify_all();
    };
    std::string error;
    auto child = platform::ChildProcess::start(std::move(launch), error);
    ASSERT_NE(child, nullptr) << error;
#ifdef _WIN32
    EXPECT_TRUE(child->writeLine("echo %BREVANT_CHILD_WORD%"));
#else
    EXPECT_TRUE(child->writeLine("echo \"$BREVANT_CHILD_WORD\""));
#endif
    {
        // One line at a time: Wine's cmd.exe runs only the first line of what one read of its
        // input brings and drops the rest.
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            seen.wait_for(lock, 10s, [&] { return !lines.empty() && lines.back() == "word"; }));
    }
    EXPECT_TRUE(child->writeLine("exit 7"));
    EXPECT_EQ(child->waitForExit(10s), 7);
}

TEST(ChildProcess, AProgramThatDoesNotExistIsNotStarted) {
    platform::ChildLaunch launch;
    launch.program = "no-such-program-brevant";
    std::string error;
    EXPECT_EQ(platform::ChildProcess::start(launch, error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace

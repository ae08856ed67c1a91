// A child process fed and read line by line, with its exit code.
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/Wine.h"

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
    if (testing_support::underWine())
        GTEST_SKIP() << "under Wine the output of cmd.exe is read, but its end is not seen within "
                        "the limit (not understood yet)";
    std::vector<std::string> lines;
    std::mutex mutex;
    std::string error;
    auto child = platform::ChildProcess::start(shellReadingInput(lines, mutex), error);
    ASSERT_NE(child, nullptr) << error;
#ifdef _WIN32
    EXPECT_TRUE(child->writeLine("echo %BREVANT_CHILD_WORD%"));
    EXPECT_TRUE(child->writeLine("exit 7"));
#else
    EXPECT_TRUE(child->writeLine("echo \"$BREVANT_CHILD_WORD\""));
    EXPECT_TRUE(child->writeLine("exit 7"));
#endif
    EXPECT_EQ(child->waitForExit(10s), 7);
    std::lock_guard lock(mutex);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "word");
}

TEST(ChildProcess, AProgramThatDoesNotExistIsNotStarted) {
    platform::ChildLaunch launch;
    launch.program = "no-such-program-brevant";
    std::string error;
    EXPECT_EQ(platform::ChildProcess::start(launch, error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace

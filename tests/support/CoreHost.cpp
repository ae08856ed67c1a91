#include "tests/support/CoreHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <utility>

#include "core/FileWriter.h"
#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Workers.h"
#include "platform/Clock.h"
#include "tests/support/ManualClock.h"

namespace testing_support {
namespace {

std::unique_ptr<ManualClock> clock;

}  // namespace

CoreHost::CoreHost() : CoreHost(std::filesystem::path{}) {}

CoreHost::CoreHost(std::filesystem::path dataFolder) : dataFolder_(std::move(dataFolder)) {
    if (dataFolder_.empty()) {
        ownDir_ = std::make_unique<TempDir>("brevant-host");
        dataFolder_ = ownDir_->path();
    }
    brevant::clearSwallowedFailures();
    rt_ = sdk::HostRuntime::create({sdk::ClockMode::Manual, dataFolder_});
    clock = std::make_unique<ManualClock>(*rt_);
    platform::setClockSource(clock.get());
}

CoreHost::~CoreHost() {
    shutDown();
}

void CoreHost::shutDown() {
    if (std::exchange(shutDown_, true))
        return;
    // Workers may still post to the host; let them finish before it goes.
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0) << "worker threads still run";
    rt_->runPosted();
    rt_->forgetPluginCallbacks();
    brevant::globalGameWrapper.store(nullptr);
    platform::setClockSource(nullptr);
    clock.reset();
    for (const auto& fault : rt_->faults())
        ADD_FAILURE() << "host fault: " << fault;
    const auto reasons = brevant::lastSwallowedReasons();
    for (const auto& [where, count] : brevant::swallowedFailures()) {
        if (!expectedSwallows_.count(where))
            ADD_FAILURE() << count << " failure(s) swallowed at \"" << where
                          << "\" that the test did not expect (the last: \"" << reasons.at(where)
                          << "\")";
    }
}

std::string CoreHost::savedFile(const std::filesystem::path& relative) const {
    EXPECT_TRUE(brevant::waitForFileWrites(std::chrono::seconds(10))) << "the file writer is stuck";
    std::ifstream in(dataFolder_ / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void CoreHost::installHandles() {
    brevant::globalCvarManager.store(rt_->makeCvarManager());
    brevant::globalGameWrapper.store(rt_->makeGameWrapper());
}

bool CoreHost::advanceWithSleeper(double seconds, std::chrono::milliseconds timeout) {
    const std::int64_t target = rt_->nowNanos() + std::llround(seconds * 1e9);
    std::uint64_t begun = 0;
    for (;;) {
        const auto wait = rt_->awaitClockWait(begun, timeout);
        if (!wait)
            return false;
        const std::int64_t step = std::min(wait->until, target) - rt_->nowNanos();
        if (step > 0)
            rt_->advance(static_cast<double>(step) / 1e9);
        if (wait->until > target)
            return true;
        begun = wait->begun + 1;  // the sleeper woke: wait for its next sleep
    }
}

void CoreHost::settle() {
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(60)), 0) << "worker threads still run";
    rt_->runPosted();
}

bool CoreHost::hasLog(const std::string& line) const {
    return countLog(line) > 0;
}

int CoreHost::countLog(const std::string& line) const {
    auto lines = logs();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> CoreHost::toastTexts() const {
    std::vector<std::string> out;
    for (auto& t : rt_->toasts())
        out.push_back(t.text);
    return out;
}

}  // namespace testing_support

#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "net/BackendEndpoint.h"
#include "platform/Clock.h"
#include "plugin/Workers.h"

namespace testing_support {
namespace {

// The plugin's clock follows the host's manual clock.
class ManualClock final : public platform::ClockSource {
public:
    explicit ManualClock(sdk::HostRuntime& rt) : rt_(rt) {}
    std::int64_t steadyNanos() override { return rt_.nowNanos(); }
    void sleepMs(std::int64_t ms) override { rt_.waitForClock(rt_.nowNanos() + ms * 1'000'000); }

private:
    sdk::HostRuntime& rt_;
};

std::unique_ptr<ManualClock> clock;

// Port 1 on the loopback address: nothing listens there, so a connection is refused at once.
void pointBackendAtClosedPort() {
    brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});
}

}  // namespace

TestHost::TestHost() : ownDir_(std::make_unique<TempDir>("brevant-host")) {
    dataFolder_ = ownDir_->path();
    pointBackendAtClosedPort();
    rt_ = sdk::HostRuntime::create({sdk::ClockMode::Manual, dataFolder_});
    clock = std::make_unique<ManualClock>(*rt_);
    platform::setClockSource(clock.get());
}

TestHost::TestHost(std::filesystem::path dataFolder) : dataFolder_(std::move(dataFolder)) {
    pointBackendAtClosedPort();
    rt_ = sdk::HostRuntime::create({sdk::ClockMode::Manual, dataFolder_});
    clock = std::make_unique<ManualClock>(*rt_);
    platform::setClockSource(clock.get());
}

TestHost::~TestHost() {
    if (loaded_)
        unload();
    // Workers may still post to the host; let them finish before it goes.
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0) << "worker threads still run";
    rt_->runPosted();
    rt_->forgetPluginCallbacks();
    plugin_.reset();
    platform::setClockSource(nullptr);
    clock.reset();
    for (const auto& fault : rt_->faults())
        ADD_FAILURE() << "host fault: " << fault;
}

void TestHost::load() {
    if (plugin_) {
        rt_->forgetPluginCallbacks();
        plugin_.reset();
    }
    plugin_ = std::make_shared<brevant::Brevant>();
    plugin_->cvarManager = rt_->makeCvarManager();
    plugin_->gameWrapper = rt_->makeGameWrapper();
    rt_->registerWindow(plugin_.get());
    plugin_->onLoad();
    loaded_ = true;
}

void TestHost::unload() {
    plugin_->onUnload();
    loaded_ = false;
}

void TestHost::settle() {
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(60)), 0) << "worker threads still run";
    rt_->runPosted();
}

bool TestHost::hasLog(const std::string& line) const {
    return countLog(line) > 0;
}

int TestHost::countLog(const std::string& line) const {
    auto lines = logs();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> TestHost::toastTexts() const {
    std::vector<std::string> out;
    for (auto& t : rt_->toasts())
        out.push_back(t.text);
    return out;
}

}  // namespace testing_support

#include "bench/BenchHost.h"

#include <time.h>

#include "core/FileWriter.h"
#include "core/Globals.h"
#include "core/Workers.h"
#include "platform/Clock.h"
#include "tests/support/ManualClock.h"

namespace bench {
namespace {

using testing_support::ManualClock;

std::unique_ptr<ManualClock> clock;

}  // namespace

BenchHost::BenchHost(const std::filesystem::path& dataFolder) {
    std::filesystem::create_directories(dataFolder);
    rt_ = sdk::HostRuntime::create({sdk::ClockMode::Manual, dataFolder});
    clock = std::make_unique<ManualClock>(*rt_);
    platform::setClockSource(clock.get());
}

BenchHost::~BenchHost() {
    if (loaded_)
        unload();
    brevant::waitForFileWrites(std::chrono::seconds(30));
    brevant::waitForWorkers(std::chrono::seconds(30));
    rt_->forgetPluginCallbacks();
    brevant::globalGameWrapper.store(nullptr);
    platform::setClockSource(nullptr);
    clock.reset();
}

void BenchHost::load() {
    if (plugin_)
        rt_->forgetPluginCallbacks();
    plugin_ = std::make_shared<brevant::Brevant>();
    plugin_->cvarManager = rt_->makeCvarManager();
    plugin_->gameWrapper = rt_->makeGameWrapper();
    plugin_->onLoad();
    loaded_ = true;
}

void BenchHost::unload() {
    plugin_->onUnload();
    loaded_ = false;
}

GameWrapper& BenchHost::gw() {
    return *plugin_->gameWrapper;
}

long long threadCpuNanos() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

}  // namespace bench

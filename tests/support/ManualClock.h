#pragma once
// The plugin's clock following the stand-in host's manual clock: what the tests' hosts, the
// benchmarks' host and the fuzz targets put in place of the system's clock.
#include <cstdint>
#include <stop_token>
#include <utility>

#include "platform/Clock.h"
#include "sdk/HostRuntime.h"

namespace testing_support {

class ManualClock final : public platform::ClockSource {
public:
    explicit ManualClock(sdk::HostRuntime& rt) : rt_(rt) {}
    std::int64_t steadyNanos() override { return rt_.nowNanos(); }
    bool sleepMs(std::int64_t ms, std::stop_token stop) override {
        return rt_.waitForClock(rt_.nowNanos() + ms * 1'000'000, std::move(stop));
    }
    bool sleepUntilMs(std::int64_t deadlineMs, std::stop_token stop) override {
        return rt_.waitForClock(deadlineMs * 1'000'000, std::move(stop));
    }

private:
    sdk::HostRuntime& rt_;
};

}  // namespace testing_support

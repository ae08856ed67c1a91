#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace platform {
namespace {

class SystemClock final : public ClockSource {
public:
    std::int64_t steadyNanos() override { return systemSteadyNanos(); }
    bool sleepMs(std::int64_t ms, std::stop_token stop) override {
        if (ms > 0) {
            // A wait of this call's own that the stop request interrupts.
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lk(mutex);
            wake.wait_for(lk, stop, std::chrono::milliseconds(ms), [] { return false; });
        }
        return !stop.stop_requested();
    }
};

SystemClock systemClock;
std::atomic<ClockSource*> current{&systemClock};

}  // namespace

std::int64_t steadyNanos() {
    return current.load()->steadyNanos();
}
std::int64_t steadyMillis() {
    return steadyNanos() / 1'000'000;
}
bool sleepMs(std::int64_t ms, std::stop_token stop) {
    return current.load()->sleepMs(ms, std::move(stop));
}

bool sleepUntilMs(std::int64_t deadlineMs, std::stop_token stop) {
    return current.load()->sleepUntilMs(deadlineMs, std::move(stop));
}
void setClockSource(ClockSource* source) {
    current.store(source ? source : &systemClock);
}

}  // namespace platform

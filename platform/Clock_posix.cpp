#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class SystemClock final : public ClockSource {
public:
    std::int64_t steadyNanos() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void sleepMs(std::int64_t ms) override {
        if (ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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
void sleepMs(std::int64_t ms) {
    current.load()->sleepMs(ms);
}
void setClockSource(ClockSource* source) {
    current.store(source ? source : &systemClock);
}

}  // namespace platform

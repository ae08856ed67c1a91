#include "platform/Clock.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace platform {
namespace {

// QueryPerformanceCounter is the system's monotonic clock; its frequency is fixed at boot.
class SystemClock final : public ClockSource {
public:
    std::int64_t steadyNanos() override {
        LARGE_INTEGER count;
        ::QueryPerformanceCounter(&count);
        const std::int64_t ticks = count.QuadPart;
        const std::int64_t perSecond = frequency();
        // Whole seconds and the rest apart, so that the product cannot overflow.
        return ticks / perSecond * 1'000'000'000 + ticks % perSecond * 1'000'000'000 / perSecond;
    }
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

private:
    static std::int64_t frequency() {
        static const std::int64_t value = [] {
            LARGE_INTEGER f;
            ::QueryPerformanceFrequency(&f);
            return f.QuadPart > 0 ? f.QuadPart : 1;
        }();
        return value;
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
void setClockSource(ClockSource* source) {
    current.store(source ? source : &systemClock);
}

}  // namespace platform

#include "platform/Clock.h"

#include <windows.h>

#include <atomic>

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
    void sleepMs(std::int64_t ms) override {
        // Sleep takes a DWORD of milliseconds; INFINITE (all bits set) must not come out of a cut.
        while (ms > 0) {
            const DWORD step = static_cast<DWORD>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms);
            ::Sleep(step);
            ms -= step;
        }
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
void sleepMs(std::int64_t ms) {
    current.load()->sleepMs(ms);
}
void setClockSource(ClockSource* source) {
    current.store(source ? source : &systemClock);
}

}  // namespace platform

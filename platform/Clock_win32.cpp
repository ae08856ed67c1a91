#include "platform/Clock.h"

#include <windows.h>

namespace platform {
namespace {

// Fixed at boot.
std::int64_t frequency() {
    static const std::int64_t value = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    return value;
}

}  // namespace

// QueryPerformanceCounter is the system's monotonic clock.
std::int64_t systemSteadyNanos() {
    LARGE_INTEGER count;
    ::QueryPerformanceCounter(&count);
    const std::int64_t ticks = count.QuadPart;
    const std::int64_t perSecond = frequency();
    // Whole seconds and the rest apart, so that the product cannot overflow.
    return ticks / perSecond * 1'000'000'000 + ticks % perSecond * 1'000'000'000 / perSecond;
}

}  // namespace platform

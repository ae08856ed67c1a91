#pragma once
// The plugin's one monotonic clock and its one sleep. Everything that measures time or waits on
// a worker thread goes through here, so a test can swap in the host's manual clock.
#include <cstdint>

namespace platform {

// A source of monotonic time. The default one reads the OS steady clock.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual std::int64_t steadyNanos() = 0;
    virtual void sleepMs(std::int64_t ms) = 0;
};

// Nanoseconds of the monotonic clock since an arbitrary point of this machine.
std::int64_t steadyNanos();
// The same clock in whole milliseconds (truncated).
std::int64_t steadyMillis();
// Blocks the calling thread for about ms milliseconds of the current clock.
void sleepMs(std::int64_t ms);

// Replaces the clock (nullptr restores the OS clock). For tests; not for use while other
// threads are reading the clock.
void setClockSource(ClockSource* source);

}  // namespace platform

#pragma once
// The plugin's one monotonic clock and its one sleep. Everything that measures time or waits on
// a worker thread goes through here, so a test can swap in the host's manual clock.
#include <cstdint>
#include <stop_token>
#include <utility>

namespace platform {

// A source of monotonic time. The default one reads the OS steady clock.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual std::int64_t steadyNanos() = 0;
    // Sleeps ms milliseconds, or less when `stop` is asked to stop (then at once); false when
    // it was.
    virtual bool sleepMs(std::int64_t ms, std::stop_token stop) = 0;
    // Sleeps until the clock reads `deadlineMs` (steadyMillis), as sleepMs does. A clock that
    // others move (a test's) takes the deadline as it is, so that a move between reading the
    // clock and beginning the sleep cannot push the sleep's end further.
    virtual bool sleepUntilMs(std::int64_t deadlineMs, std::stop_token stop) {
        const std::int64_t ms = deadlineMs - steadyNanos() / 1'000'000;
        return sleepMs(ms > 0 ? ms : 0, std::move(stop));
    }
};

// Nanoseconds of the monotonic clock since an arbitrary point of this machine.
std::int64_t steadyNanos();
// The same clock in whole milliseconds (truncated).
std::int64_t steadyMillis();
// Blocks the calling thread for about ms milliseconds of the current clock, or until `stop` is
// asked to stop. False when the sleep ended for the stop.
bool sleepMs(std::int64_t ms, std::stop_token stop = {});
// The same until the clock reads `deadlineMs` (steadyMillis).
bool sleepUntilMs(std::int64_t deadlineMs, std::stop_token stop = {});

// The OS steady clock itself, in nanoseconds, whatever source is set; each system's own.
std::int64_t systemSteadyNanos();

// Replaces the clock (nullptr restores the OS clock). For tests; not for use while other
// threads are reading the clock.
void setClockSource(ClockSource* source);

}  // namespace platform

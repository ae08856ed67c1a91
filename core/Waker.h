#pragma once
// A wait on the plugin's clock that another thread can cut short: for a thread of the plugin's
// own that sleeps until a time of its own (a retry) or until something comes for it (wake), and
// ends its wait at once when it is asked to stop.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace brevant {

class Waker {
public:
    // Waits `ms` milliseconds of the plugin's clock, or, with a negative `ms`, until woken; a
    // wake that came since the last wait ends it at once. False when `stop` was asked to stop.
    bool wait(std::int64_t ms, std::stop_token stop);
    // The same until the plugin's clock reads `deadlineMs` (steadyMillis), or, with a negative
    // deadline, until woken.
    bool waitUntil(std::int64_t deadlineMs, std::stop_token stop);
    // Waits up to `period` of real time, not the plugin's clock, or until woken: for a thread that
    // looks again now and then at what nothing tells it of. False when `stop` was asked to stop.
    bool pollWait(std::chrono::milliseconds period, std::stop_token stop);
    // Ends the current wait, or the next one at once. Any thread.
    void wake();

private:
    std::mutex mutex_;
    std::condition_variable_any woken_;
    std::stop_source current_;
    bool pending_ = false;
};

}  // namespace brevant

#include "core/Waker.h"

#include <utility>

#include "platform/Clock.h"

namespace brevant {

bool Waker::wait(std::int64_t ms, std::stop_token stop) {
    return waitUntil(ms < 0 ? -1 : platform::steadyMillis() + ms, std::move(stop));
}

bool Waker::waitUntil(std::int64_t deadlineMs, std::stop_token stop) {
    std::stop_source wake;
    {
        std::lock_guard lk(mutex_);
        if (pending_) {
            pending_ = false;
            return !stop.stop_requested();
        }
        current_ = wake;
    }
    const std::stop_callback onStop(stop, [&wake] { wake.request_stop(); });
    if (deadlineMs < 0) {
        // No time of its own: not a wait on the clock, only on what comes.
        std::unique_lock lk(mutex_);
        woken_.wait(lk, wake.get_token(), [&] { return pending_; });
    } else if (deadlineMs > platform::steadyMillis()) {
        platform::sleepUntilMs(deadlineMs, wake.get_token());
    }
    std::lock_guard lk(mutex_);
    pending_ = false;
    return !stop.stop_requested();
}

bool Waker::pollWait(std::chrono::milliseconds period, std::stop_token stop) {
    std::unique_lock lk(mutex_);
    woken_.wait_for(lk, stop, period, [&] { return pending_; });
    pending_ = false;
    return !stop.stop_requested();
}

void Waker::wake() {
    std::lock_guard lk(mutex_);
    pending_ = true;
    current_.request_stop();
    woken_.notify_all();
}

}  // namespace brevant

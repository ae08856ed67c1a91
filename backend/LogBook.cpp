#include "backend/LogBook.h"

#include <algorithm>
#include <utility>

namespace brevant::backend {

void LogBook::write(std::string line) {
    {
        std::lock_guard lock(mutex_);
        if (sink_)
            sink_(line);
        lines_.push_back(std::move(line));
        if (lines_.size() > keep_)
            lines_.pop_front();
        ++written_;
    }
    changed_.notify_all();
}

void LogBook::setSink(Sink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

std::vector<std::string> LogBook::lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

std::size_t LogBook::count() const {
    std::lock_guard lock(mutex_);
    return written_;
}

bool LogBook::waitForLine(const std::function<bool(const std::string&)>& predicate, Timeout timeout,
                          std::size_t since) const {
    std::size_t checked = since;  // line number from which nothing has been looked at yet
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const std::size_t first = written_ - lines_.size();
        for (std::size_t n = std::max(checked, first); n < written_; ++n) {
            if (predicate(lines_[n - first]))
                return true;
        }
        checked = written_;
        return false;
    });
}

bool LogBook::waitUntil(const std::function<bool()>& condition, Timeout timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        const std::size_t seen = written_;
        lock.unlock();
        if (condition())
            return true;
        lock.lock();
        if (!changed_.wait_until(lock, deadline, [&] { return written_ != seen; })) {
            lock.unlock();
            return condition();
        }
    }
}

}  // namespace brevant::backend

#pragma once
// The backend's event log: one line per event, kept in memory for waits, forwarded to a sink.
// Every recorded change of the backend's state is followed by a line, so waiting for "the next
// line" is also waiting for "the next change".
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace brevant::backend {

class LogBook {
public:
    using Sink = std::function<void(const std::string&)>;
    using Timeout = std::chrono::milliseconds;

    explicit LogBook(std::size_t keep = 10000) : keep_(keep) {}

    // Records the line, hands it to the sink and wakes the waiters. Safe from any thread, also
    // while the caller holds its own locks (the sink must not call back into the backend).
    void write(std::string line);
    void setSink(Sink sink);

    std::vector<std::string> lines() const;
    std::size_t count() const;

    bool waitForLine(const std::function<bool(const std::string&)>& predicate, Timeout timeout,
                     std::size_t since) const;
    // Evaluates `condition` without any lock of the log held, again after every new line.
    bool waitUntil(const std::function<bool()>& condition, Timeout timeout) const;

private:
    const std::size_t keep_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::size_t written_ = 0;  // lines ever written; lines_ holds the last ones
    Sink sink_;
};

}  // namespace brevant::backend

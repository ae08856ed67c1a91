#pragma once
// An upload's pace as both systems' transports watch it (see HttpPace): what the socket has taken
// and when, and so the moment the exchange is to be cut unless more is taken before it.
#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "platform/HttpTransport.h"

namespace platform {

class PaceWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Counting from `start`: nothing taken yet.
    PaceWatch(const HttpPace& pace, Clock::time_point start);

    // The socket took `bytes` more at `at` (never earlier than the last time given).
    void taken(std::uint64_t bytes, Clock::time_point at);
    // Less than minBytes were taken in the window that ends here, unless more is taken first.
    Clock::time_point cutAt() const { return marks_.front().first + pace_.window; }
    // The largest piece to hand the socket at once.
    std::uint64_t pieceBytes() const { return pace_.minBytes; }

private:
    HttpPace pace_;
    std::uint64_t total_ = 0;
    // (when, all taken by then), oldest first, from the earliest whose total is still within
    // minBytes of all taken now: the window that ends at the cut begins there.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> marks_;
};

}  // namespace platform

#include "platform/PaceWatch.h"

#include <algorithm>

namespace platform {

PaceWatch::PaceWatch(const HttpPace& pace, Clock::time_point start) : pace_(pace) {
    pace_.minBytes = std::max<std::uint64_t>(pace_.minBytes, 1);
    marks_.emplace_back(start, 0);
}

void PaceWatch::taken(std::uint64_t bytes, Clock::time_point at) {
    if (bytes == 0)
        return;
    total_ += bytes;
    marks_.emplace_back(at, total_);
    // A mark no more than total - minBytes is where a window could begin that holds minBytes
    // already: the cut counts from the first mark past it. The newest mark is always past it.
    while (total_ - marks_.front().second >= pace_.minBytes)
        marks_.pop_front();
}

}  // namespace platform

#include "outbox/Schedule.h"

#include <algorithm>

namespace brevant::outbox {

std::int64_t retryDelayMs(int attempts, std::mt19937& random) {
    const int doublings = std::clamp(attempts - 1, 0, 10);
    const std::int64_t base = std::min(lastRetryMs, firstRetryMs << doublings);
    std::uniform_int_distribution<std::int64_t> jitter(base / 2, base);
    return jitter(random);
}

std::string inWords(std::int64_t ms) {
    const std::int64_t s = (ms + 999) / 1000;
    if (s < 120)
        return std::to_string(s) + "s";
    if (s < 2 * 3600)
        return std::to_string((s + 59) / 60) + "m";
    return std::to_string((s + 3599) / 3600) + "h";
}

}  // namespace brevant::outbox

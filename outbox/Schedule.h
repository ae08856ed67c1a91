#pragma once
// When the outbox tries again: a replay that failed waits 30 s doubling to 30 min, each wait
// drawn between half and all of it (so clients that failed together do not come back together);
// a result handed to a session is taken as delivered once the backend has shown it is alive past
// it.
#include <cstdint>
#include <random>
#include <string>

namespace brevant::outbox {

constexpr std::int64_t firstRetryMs = 30'000;
constexpr std::int64_t lastRetryMs = 30LL * 60 * 1000;
// A session that lives this long past a result's send has taken it, when the backend has not
// pinged on it at all (one that pings keeps the result until its pings say so, or it ends).
constexpr std::int64_t resultAliveAfterMs = 10LL * 60 * 1000;
// The backend's pings that must arrive after a result's frame was written.
constexpr int pingsToConfirm = 2;

// The wait after the `attempts`-th failed try (1 for the first).
std::int64_t retryDelayMs(int attempts, std::mt19937& random);

// A wait as the listing shows it: "57s", "3m", "2h".
std::string inWords(std::int64_t ms);

}  // namespace brevant::outbox

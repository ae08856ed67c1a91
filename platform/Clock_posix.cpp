#include "platform/Clock.h"

#include <chrono>

namespace platform {

std::int64_t systemSteadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace platform

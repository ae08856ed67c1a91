#include "core/Guard.h"

#include <mutex>

namespace brevant {
namespace {

std::mutex mutex;
std::map<std::string, int> counts;

}  // namespace

void noteSwallowed(const char* where) noexcept {
    try {
        std::lock_guard lk(mutex);
        ++counts[where ? where : "?"];
    } catch (...) {
        // Out of memory while counting: the failure is still swallowed, only not counted.
    }
}

std::map<std::string, int> swallowedFailures() {
    std::lock_guard lk(mutex);
    return counts;
}

void clearSwallowedFailures() {
    std::lock_guard lk(mutex);
    counts.clear();
}

}  // namespace brevant

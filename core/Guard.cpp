#include "core/Guard.h"

#include <mutex>

namespace brevant {
namespace {

std::mutex mutex;
std::map<std::string, int> counts;
std::map<std::string, std::string> reasons;

}  // namespace

void noteSwallowed(const char* where, const char* reason) noexcept {
    try {
        std::lock_guard lk(mutex);
        const std::string place = where ? where : "?";
        ++counts[place];
        reasons[place] = reason ? reason : "";
    } catch (...) {
        // Out of memory while counting: the failure is still swallowed, only not counted.
    }
}

std::map<std::string, int> swallowedFailures() {
    std::lock_guard lk(mutex);
    return counts;
}

std::map<std::string, std::string> lastSwallowedReasons() {
    std::lock_guard lk(mutex);
    return reasons;
}

void clearSwallowedFailures() {
    std::lock_guard lk(mutex);
    counts.clear();
    reasons.clear();
}

}  // namespace brevant

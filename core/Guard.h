#pragma once
// The plugin's one failure boundary. Every entry from the host (start-up steps, commands,
// hooks, timers, posted calls) and from a thread of ours (worker bodies, receiver callbacks,
// the watcher) runs behind it: nothing is thrown back to the host or ends a thread, and what was
// swallowed is counted by place, so tests can tell an expected drop from a hidden fault.
#include <map>
#include <string>
#include <utility>

namespace brevant {

// Counts one swallowed failure at `where`. Never throws.
void noteSwallowed(const char* where) noexcept;

// Runs fn; whatever it throws ends there and is counted under `where`.
template <typename Fn>
void runGuarded(const char* where, Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (...) {
        noteSwallowed(where);
    }
}

// What has been swallowed since the last clear, by place. Any thread.
std::map<std::string, int> swallowedFailures();
void clearSwallowedFailures();

}  // namespace brevant

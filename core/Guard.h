#pragma once
// The plugin's one failure boundary. Every entry from the host (start-up steps, commands,
// hooks, timers, posted calls) and from a thread of ours (worker bodies, receiver callbacks,
// the watcher) runs behind it: nothing is thrown back to the host or ends a thread, and what was
// swallowed is counted by place, with the last reason given there, so tests and a debugger can
// tell an expected drop from a hidden fault.
#include <exception>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

namespace brevant {

// Counts one swallowed failure at `where` and keeps `reason` as its place's last (what() of a
// standard exception; empty for anything else). Never throws.
void noteSwallowed(const char* where, const char* reason = "") noexcept;

// Runs fn; whatever it throws ends there and is counted under `where`.
template <typename Fn>
void runGuarded(const char* where, Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (const std::exception& e) {
        noteSwallowed(where, e.what());
    } catch (...) {
        noteSwallowed(where);
    }
}

// Runs a callback, when it is set, behind the boundary with these arguments: callbacks a thread
// of ours calls (a std::function may be empty).
template <typename Callback, typename... Args>
void runGuardedCallback(const char* where, const Callback& callback, const Args&... args) noexcept {
    runGuarded(where, [&] {
        if constexpr (std::is_constructible_v<bool, const Callback&>) {
            if (!callback)
                return;
        }
        callback(args...);
    });
}

// What has been swallowed since the last clear, by place, and the last reason at each place.
// Any thread.
std::map<std::string, int> swallowedFailures();
std::map<std::string, std::string> lastSwallowedReasons();
void clearSwallowedFailures();

}  // namespace brevant

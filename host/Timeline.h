#pragma once
// A readable record of an end-to-end run: every event with its time and the side it came from,
// printed as it happens, and waited on by the scenario that drives the run.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/RepeatFolder.h"

namespace host {

// What a client's host program shows (its console, toasts, commands, the simulated game, its own
// lines, faults), its network (the soak's link), the backend, and the demo's own steps.
enum class Side { Console, Toast, Command, Game, Host, Backend, Demo, Fault, Link };

struct TimelineEvent {
    double seconds = 0;  // since the timeline started
    std::string who;     // the client ("A", "B"), empty for the backend and the demo
    Side side = Side::Demo;
    std::string text;
};

// "  12.345  A console  text", "  12.345  backend    text"
std::string formatTimelineEvent(const TimelineEvent& event);

class Timeline {
public:
    using Printer = std::function<void(const std::string& line)>;
    explicit Timeline(Printer print = {});

    // Any thread.
    void add(Side side, std::string text) { add({}, side, std::move(text)); }
    // A game note that repeats the last one of the same client is recorded but not printed:
    // the rotation puts the same map into the match every few seconds.
    void add(std::string who, Side side, std::string text);
    std::vector<TimelineEvent> events() const;
    // Seconds since the timeline started, on the clock of its events.
    double now() const;
    std::size_t size() const;
    // Waits until an event at or after position `since` matches; false when the time ran out.
    bool waitFor(const std::function<bool(const TimelineEvent&)>& match,
                 std::chrono::milliseconds timeout, std::size_t since = 0) const;

private:
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    Printer print_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<TimelineEvent> events_;
    RepeatFolder gameNotes_;  // each client's last game note
};

}  // namespace host

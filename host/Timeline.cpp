#include "host/Timeline.h"

#include <cstdio>

#include "host/ConsoleText.h"

namespace host {

std::string formatTimelineEvent(const TimelineEvent& event) {
    const char* side = "demo   ";
    switch (event.side) {
        case Side::Console:
            side = "console";
            break;
        case Side::Toast:
            side = "toast  ";
            break;
        case Side::Command:
            side = "command";
            break;
        case Side::Game:
            side = "game   ";
            break;
        case Side::Host:
            side = "host   ";
            break;
        case Side::Backend:
            side = "backend";
            break;
        case Side::Demo:
            side = "demo   ";
            break;
        case Side::Fault:
            side = "FAULT  ";
            break;
        case Side::Link:
            side = "link   ";
            break;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8.3f  ", event.seconds);
    const std::string who = event.who.empty() ? "" : toTerminalText(event.who) + " ";
    return stamp + who + side + std::string(who.empty() ? 4 : 2, ' ') + toTerminalText(event.text);
}

Timeline::Timeline(Printer print) : print_(std::move(print)) {}

void Timeline::add(std::string who, Side side, std::string text) {
    TimelineEvent event;
    event.seconds = now();
    event.who = std::move(who);
    event.side = side;
    event.text = std::move(text);
    {
        std::lock_guard lk(mutex_);
        events_.push_back(event);
        const bool repeated = event.side == Side::Game && gameNotes_.repeats(event.who, event.text);
        // Printing under the lock keeps the printed order the recorded order.
        if (print_ && !repeated)
            print_(formatTimelineEvent(event));
    }
    changed_.notify_all();
}

double Timeline::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::vector<TimelineEvent> Timeline::events() const {
    std::lock_guard lk(mutex_);
    return events_;
}

std::size_t Timeline::size() const {
    std::lock_guard lk(mutex_);
    return events_.size();
}

bool Timeline::waitFor(const std::function<bool(const TimelineEvent&)>& match,
                       std::chrono::milliseconds timeout, std::size_t since) const {
    std::unique_lock lk(mutex_);
    std::size_t checked = since;
    return changed_.wait_for(lk, timeout, [&] {
        for (; checked < events_.size(); ++checked)
            if (match(events_[checked]))
                return true;
        return false;
    });
}

}  // namespace host

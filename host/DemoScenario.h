#pragma once
// The end-to-end demo: two clients, A and B, each the plugin in its own host program, against a
// backend, through a whole best-of-5 series. Each step waits for the one before it to show on
// the timeline.
#include <chrono>
#include <functional>
#include <string>

#include "host/DemoClient.h"
#include "host/Timeline.h"

namespace host {

struct DemoParts {
    DemoClient* a = nullptr;  // creates the match and hosts the series
    DemoClient* b = nullptr;  // joins it
    // Runs one command of the backend's console and returns its answer.
    std::function<std::string(const std::string&)> backendCommand;
    // Whether the backend's own events reach the timeline (an embedded backend's do).
    bool backendVisible = true;
    // Take the backend away and bring it back where it was (an embedded one); without them the
    // outage is left out.
    std::function<void()> stopBackend;
    std::function<bool()> startBackend;
};

struct DemoOutcome {
    bool ok = false;
    std::string failedStep;  // the first step that did not happen
};

DemoOutcome runDemoScenario(const DemoParts& parts, Timeline& timeline,
                            std::chrono::milliseconds stepTimeout = std::chrono::seconds(15));

}  // namespace host

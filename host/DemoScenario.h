#pragma once
// The end-to-end demo: the plugin in a host running in real time, against a backend, step by
// step. Each step waits for the one before it to show on the timeline.
#include <chrono>
#include <functional>
#include <string>

#include "host/Timeline.h"
#include "sdk/HostRuntime.h"

namespace host {

struct DemoParts {
    // A runtime in real time whose game thread runs; its output goes to the timeline.
    sdk::HostRuntime* runtime = nullptr;
    // Creates the plugin and calls onLoad (on the game thread).
    std::function<void()> loadPlugin;
    // Calls onUnload and lets the plugin go; false when something of it stays behind (its
    // module kept loaded because a worker still runs).
    std::function<bool()> unloadPlugin;
    // Waits (boundedly) until no worker thread of the plugin runs; may be empty.
    std::function<void()> waitForWorkers;
    // Runs one command of the backend's console and returns its answer.
    std::function<std::string(const std::string&)> backendCommand;
    // Whether the backend's own events reach the timeline (an embedded backend's do).
    bool backendVisible = true;
};

struct DemoOutcome {
    bool ok = false;
    std::string failedStep;  // the first step that did not happen
};

// Sends the runtime's log lines, toasts and commands to the timeline.
void connectRuntimeToTimeline(sdk::HostRuntime& runtime, Timeline& timeline);

DemoOutcome runDemoScenario(const DemoParts& parts, Timeline& timeline,
                            std::chrono::milliseconds stepTimeout = std::chrono::seconds(15));

}  // namespace host

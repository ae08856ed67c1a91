#pragma once
// A long-lived thread of the plugin's own (the replay watcher): started at load, asked to stop
// and joined at unload. Its body runs behind the failure boundary and waits with waitFor, on the
// plugin's clock, which ends at once when the thread is asked to stop.
#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>

namespace brevant {

class LoopThread {
public:
    LoopThread() = default;
    ~LoopThread() { stop(); }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    // Starts body on a thread named `name` unless one runs already; false when none could be
    // started. `where` names the body at the failure boundary.
    bool start(std::string name, const char* where, std::function<void(LoopThread&)> body);
    // Asks the body to stop, wakes its wait and joins it. Safe to call more than once. From the
    // body itself it only asks (a thread cannot join itself).
    void stop();

    bool running() const { return thread_.joinable(); }
    bool stopRequested() const { return stop_.stop_requested(); }
    // For the body: asked to stop when the thread is (a network wait can take it along).
    std::stop_token stopToken() const { return stop_.get_token(); }

    // For the body: waits up to `period`; false when the thread was asked to stop.
    bool waitFor(std::chrono::milliseconds period);

private:
    std::stop_source stop_;  // replaced only while no thread runs
    std::thread thread_;
};

}  // namespace brevant

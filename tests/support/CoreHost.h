#pragma once
// The stand-in host on a manual clock, without the plugin: for the layers below it. The test
// thread is the game thread: timers run only when the test advances the clock, and callables
// posted from other threads run when the test pumps. At its end it fails the test on any host
// fault and on any failure swallowed at the plugin's failure boundary that the test did not
// declare with expectSwallowed.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sdk/HostRuntime.h"
#include "tests/support/TempDir.h"

namespace testing_support {

class CoreHost {
public:
    // A fresh data folder of its own, or the given one (which must outlive the host).
    CoreHost();
    explicit CoreHost(std::filesystem::path dataFolder);
    virtual ~CoreHost();

    sdk::HostRuntime& rt() { return *rt_; }
    sdk::GameModel& game() { return rt_->model(); }
    const std::filesystem::path& dataFolder() const { return dataFolder_; }

    // Puts the host's handles where the plugin's code finds them, as onLoad does.
    void installHandles();
    // Failures the test provokes on purpose at this place of the failure boundary.
    void expectSwallowed(const std::string& where) { expectedSwallows_.insert(where); }

    void advance(double seconds) { rt_->advance(seconds); }
    // Advances the clock by `seconds` in step with a plugin thread that sleeps on it (the replay
    // watcher): each time the thread sleeps, the clock moves to the end of its sleep (running the
    // timers due by then) and the helper waits for the thread's next sleep. Returns with the
    // thread asleep past the target; false when it did not sleep again within `timeout`.
    bool advanceWithSleeper(double seconds,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the plugin's worker threads to end, then runs what they posted.
    void settle();
    bool pumpUntil(const std::function<bool()>& cond,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return rt_->pumpUntil(cond, timeout);
    }

    // The text of a file the plugin saves (under the data folder), once the plugin's file writer
    // has written everything handed to it; empty when there is no such file.
    std::string savedFile(const std::filesystem::path& relative) const;
    // The rotation file's text, as savedFile gives it.
    std::string rotationFile() const { return savedFile("plugins/brevant.rotate.json"); }

    std::vector<std::string> logs() const { return rt_->logLines(); }
    bool hasLog(const std::string& line) const;
    int countLog(const std::string& line) const;
    std::vector<std::string> toastTexts() const;

protected:
    // Waits for the workers, runs what they posted, drops the plugin's callbacks and checks for
    // faults and swallowed failures. Once; a derived host calls it from its own destructor
    // after ending what it added.
    void shutDown();

private:
    std::unique_ptr<TempDir> ownDir_;
    std::filesystem::path dataFolder_;
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::set<std::string> expectedSwallows_;
    bool shutDown_ = false;
};

}  // namespace testing_support

#pragma once
// The stand-in host on a manual clock, with the plugin linked in. The test thread is the game
// thread: timers run only when the test advances the clock, and callables posted from other
// threads run when the test pumps.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plugin/Brevant.h"
#include "sdk/HostRuntime.h"
#include "tests/support/TempDir.h"

namespace testing_support {

class TestHost {
public:
    // A fresh data folder of its own, or the given one (which must outlive the host). The
    // backend endpoint points at a closed port on 127.0.0.1 until a test points it elsewhere.
    TestHost();
    explicit TestHost(std::filesystem::path dataFolder);
    ~TestHost();

    sdk::HostRuntime& rt() { return *rt_; }
    sdk::GameModel& game() { return rt_->model(); }
    const std::filesystem::path& dataFolder() const { return dataFolder_; }
    brevant::Brevant& plugin() { return *plugin_; }

    // Creates the plugin, hands it the host's handles and calls onLoad. A second load drops
    // what the first plugin left with the host, as closing its module would.
    void load();
    // onUnload. The plugin object lives on until the host goes, as it does in the real host
    // until its module is closed.
    void unload();

    void advance(double seconds) { rt_->advance(seconds); }
    // Waits for the plugin's worker threads to end, then runs what they posted.
    void settle();
    bool pumpUntil(const std::function<bool()>& cond,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return rt_->pumpUntil(cond, timeout);
    }

    std::vector<std::string> logs() const { return rt_->logLines(); }
    bool hasLog(const std::string& line) const;
    int countLog(const std::string& line) const;
    std::vector<std::string> toastTexts() const;

private:
    std::unique_ptr<TempDir> ownDir_;
    std::filesystem::path dataFolder_;
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::shared_ptr<brevant::Brevant> plugin_;
    bool loaded_ = false;
};

}  // namespace testing_support

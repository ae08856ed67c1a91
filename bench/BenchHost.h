#pragma once
// What the target measurements drive: the plugin in the stand-in host on a manual clock, this
// thread its game thread, the plugin's clock following the host's (as the tests' host does).
#include <filesystem>
#include <memory>

#include "plugin/Brevant.h"
#include "sdk/HostRuntime.h"

namespace bench {

class BenchHost {
public:
    explicit BenchHost(const std::filesystem::path& dataFolder);
    ~BenchHost();
    BenchHost(const BenchHost&) = delete;
    BenchHost& operator=(const BenchHost&) = delete;

    void load();
    void unload();
    sdk::HostRuntime& rt() { return *rt_; }
    sdk::GameModel& game() { return rt_->model(); }
    GameWrapper& gw();
    void advance(double seconds) { rt_->advance(seconds); }

private:
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::shared_ptr<brevant::Brevant> plugin_;
    bool loaded_ = false;
};

// The calling thread's CPU time, in nanoseconds.
long long threadCpuNanos();

}  // namespace bench

// P5: how long unload holds the game thread, with everything a load starts running: the session
// connected to the reference backend, a series hosted (so the final save has something to
// write), the replay watcher polling.
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchBackend.h"
#include "bench/BenchHost.h"
#include "bench/Targets.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int runs = 10;

double unloadOnce() {
    BenchBackend backend("brevant-bench-unload");
    const auto data = backend.folder / "data";
    std::filesystem::create_directories(data / "cfg");
    std::ofstream(data / "cfg" / "config.cfg")
        << "brv_replay_dir \"" << backend.demos.string() << "\"\n";
    BenchHost host(data);
    host.load();
    host.advance(0.3);
    if (!brevant::backendConnected())
        return -1;
    brevant::paired = true;
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Bench";
        brevant::rotationState.rotation = brevant::rotationMapsMd5;
        brevant::rotationState.lastMap = "Stadium_P";
        brevant::rotationState.enabled = true;
    }
    const auto start = Clock::now();
    host.unload();
    return static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1));
}

const bool registered = addTarget("P5 unload", [] {
    std::vector<double> held;
    bool failed = false;
    for (int i = 0; i < runs; ++i) {
        const double ns = unloadOnce();
        failed = failed || ns < 0;
        held.push_back(ns);
    }
    const double worst = percentile(held, 100);
    return std::vector<TargetRow>{
        {"P5 unload, game thread", failed ? "failed" : formatNanos(worst), "< 100 ms",
         !failed && worst < 100e6,
         "max of " + std::to_string(runs) + ", median " + formatNanos(percentile(held, 50)) +
             "; connected, a series hosted, the watcher running"}};
});

}  // namespace
}  // namespace bench

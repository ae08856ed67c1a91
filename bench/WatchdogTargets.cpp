// P1: the rotation watchdog in a hosted series, as a player runs it: the plugin loaded in the
// stand-in host on its manual clock, the match created by the backend's order, and the clock
// advanced one second at a time so that the watchdog's own timer posts its step and the game
// thread runs it. The lobby's map moves back and forth (the game on one map, the match set to
// the next), so the rotation file is saved every other tick, and every five minutes the game
// moves on to the next map. What is measured is the game thread's time per tick: its CPU time
// and its wall time, as a distribution. The file is on the build folder's disk, then on tmpfs.
// Then the same paced as in the game, one tick a second for 30 s with the game moving on to the
// next map every five ticks, counting the threads started (none should be: the writer runs from
// load to unload).
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchHost.h"
#include "bench/Targets.h"
#include "core/FileWriter.h"
#include "core/Workers.h"
#include "net/BackendEndpoint.h"
#include "net/Dispatcher.h"
#include "pairing/PairingState.h"
#include "platform/Clock.h"
#include "plugin/MessageRoutes.h"
#include "rotation/RotationEngine.h"

namespace bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int ticks = 10'000;

struct TickFigures {
    std::vector<double> wall, cpu;  // nanoseconds per tick
    double throttledNs = 0;         // one throttled step, averaged
    std::size_t applies = 0;
    int threadsStarted = 0;  // workers started between the first tick and the last
};

TickFigures hostedSeries(const fs::path& folder, bool paced = false) {
    fs::remove_all(folder);
    TickFigures figures;
    {
        BenchHost host(folder);
        brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});  // no backend
        host.load();
        host.advance(0.3);
        brevant::paired = true;
        brevant::dispatchMessage(R"({"t":"create","serverName":"Bench","bestOf":5})",
                                 brevant::messageRoutes());
        host.rt().runPosted();
        auto& updates = host.game().matchmaking.updates;
        std::string lastUpdate;  // the map the match was last set to
        const int count = paced ? 30 : ticks;
        const int gameEvery = paced ? 5 : 300;
        const int startedBefore = brevant::workersStarted();
        for (int i = 0; i < count; ++i) {
            if (paced)
                std::this_thread::sleep_until(Clock::now() + std::chrono::seconds(1) -
                                              std::chrono::microseconds(200));  // the game's pace
            if (i % gameEvery == gameEvery - 1 && !lastUpdate.empty())
                host.game().currentMap = lastUpdate;  // the next game starts
            const auto wall = Clock::now();
            const long long cpu = threadCpuNanos();
            host.advance(1.0);
            figures.cpu.push_back(static_cast<double>(threadCpuNanos() - cpu));
            figures.wall.push_back(
                static_cast<double>((Clock::now() - wall) / std::chrono::nanoseconds(1)));
            figures.applies += updates.size();
            if (!updates.empty())
                lastUpdate = updates.back().MapName;
            updates.clear();  // the host keeps every update; do not let it grow
        }
        figures.threadsStarted = brevant::workersStarted() - startedBefore;
        // The throttled step alone: the watchdog has just applied.
        constexpr int calls = 200'000;
        brevant::lastWatchdogApplyMs = platform::steadyMillis();
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            brevant::rotationWatchdogStep(host.gw());
        figures.throttledNs =
            static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1)) / calls;
        brevant::waitForFileWrites(std::chrono::seconds(30));
    }
    fs::remove_all(folder);
    return figures;
}

std::vector<TargetRow> rowsFor(const std::string& disk, const TickFigures& f) {
    const double cpuMax = percentile(f.cpu, 100), wall999 = percentile(f.wall, 99.9);
    const std::string distribution =
        "median " + formatNanos(percentile(f.wall, 50)) + ", p99 " +
        formatNanos(percentile(f.wall, 99)) + ", max " + formatNanos(percentile(f.wall, 100)) +
        "; " + std::to_string(f.applies) + " applies in " + std::to_string(ticks) + " ticks";
    return {
        {"P1 watchdog tick, " + disk + ": CPU max", formatNanos(cpuMax), "< 1 ms", cpuMax < 1e6,
         "CPU median " + formatNanos(percentile(f.cpu, 50))},
        {"P1 watchdog tick, " + disk + ": wall p99.9", formatNanos(wall999), "< 1 ms",
         wall999 < 1e6, distribution},
        {"P1 throttled step, " + disk, formatNanos(f.throttledNs), "< 1 us", f.throttledNs < 1e3,
         "mean of 200,000"},
    };
}

// The paced series: the figures a player meets, and the threads it starts.
std::vector<TargetRow> pacedRows() {
    const auto f = hostedSeries(fs::current_path() / "bench-watchdog-paced", true);
    const double wallMax = percentile(f.wall, 100);
    return {
        {"P1 paced series (1 tick/s, 30 s, build folder): thread starts",
         std::to_string(f.threadsStarted), "0", f.threadsStarted == 0,
         std::to_string(f.applies) + " applies; the game moves on every 5 ticks"},
        {"P1 paced series: tick wall max", formatNanos(wallMax), "< 1 ms", wallMax < 1e6,
         "median " + formatNanos(percentile(f.wall, 50)) + " of 30 ticks"},
    };
}

const bool registered = addTarget("P1 watchdog", [] {
    std::vector<TargetRow> rows = pacedRows();
    for (auto& row :
         rowsFor("build folder (ext4)", hostedSeries(fs::current_path() / "bench-watchdog-data")))
        rows.push_back(std::move(row));
    if (fs::is_directory("/dev/shm"))
        for (auto& row : rowsFor("tmpfs", hostedSeries("/dev/shm/brevant-bench-watchdog")))
            rows.push_back(std::move(row));
    return rows;
});

}  // namespace
}  // namespace bench

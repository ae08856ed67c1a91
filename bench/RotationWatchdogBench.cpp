// One rotationWatchdogStep on the stand-in host, in a private match with the rotation on: the
// throttled pass (every second but one in three), and the pass that applies the next map, with
// and without the rotation file being written.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <limits>
#include <memory>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "pairing/PairingState.h"
#include "platform/Clock.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "rotation/RotationEngine.h"
#include "sdk/GameWrapper.h"
#include "sdk/HostRuntime.h"

namespace {

// A host on a manual clock whose thread is this one, the plugin's handles in place, paired, and
// a five-map series running in the private match "Sala" with the game on `gameMap`.
class Setup {
public:
    explicit Setup(const std::string& gameMap, bool withFile) {
        const auto dir = std::filesystem::temp_directory_path() / "brevant-bench";
        std::filesystem::create_directories(dir);
        rt_ = sdk::HostRuntime::create({sdk::ClockMode::Manual, dir});
        gw_ = rt_->makeGameWrapper();
        brevant::globalCvarManager.store(rt_->makeCvarManager());
        brevant::globalGameWrapper.store(gw_);
        brevant::paired = true;
        rt_->model().enterPrivateMatch("Sala", gameMap);
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Sala";
        brevant::rotationState.file =
            withFile ? dir / "plugins" / "brevant.rotate.json" : std::filesystem::path{};
        brevant::rotationState.rotation = brevant::rotationMapsMd5;
        brevant::rotationState.lastMap = "Stadium_P";
        brevant::rotationState.enabled = true;
    }
    ~Setup() {
        brevant::globalGameWrapper.store(nullptr);
        brevant::resetMatchIdentity();
        brevant::resetHostingState();
        brevant::resetRotationEngineState();
    }
    GameWrapper& gw() { return *gw_; }
    sdk::HostRuntime& rt() { return *rt_; }

private:
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::shared_ptr<GameWrapper> gw_;
};

void throttled(benchmark::State& state) {
    Setup setup("Stadium_P", true);
    brevant::lastWatchdogApplyMs = platform::steadyMillis();  // just applied
    for (auto _ : state)
        brevant::rotationWatchdogStep(setup.gw());
    if (!setup.rt().model().matchmaking.updates.empty())
        state.SkipWithError("the throttled pass applied a map");
}

// Every pass applies: the throttle is reset before each one. With the game on a map of the
// list, each pass first moves lastMap back to it and writes the rotation file; with the game on
// a map outside the list nothing is written.
void applying(benchmark::State& state, const std::string& gameMap, bool withFile) {
    Setup setup(gameMap, withFile);
    auto& updates = setup.rt().model().matchmaking.updates;
    for (auto _ : state) {
        brevant::lastWatchdogApplyMs = std::numeric_limits<std::int64_t>::min() / 2;
        brevant::rotationWatchdogStep(setup.gw());
        updates.clear();  // the host keeps every update; do not let it grow
    }
    if (brevant::rotationState.rev.load() < 1 + state.iterations())
        state.SkipWithError("a pass did not apply");
}

void applyingWithSave(benchmark::State& state) {
    applying(state, "Stadium_P", true);
}

void applyingWithoutSave(benchmark::State& state) {
    applying(state, "Labs_P", false);
}

}  // namespace

BENCHMARK(throttled);
BENCHMARK(applyingWithSave)->Unit(benchmark::kMicrosecond);
BENCHMARK(applyingWithoutSave);

// One text from the backend through the plugin's dispatcher and message catalogue, handed over
// the way the WebSocket receiver thread hands it: brevant::dispatchMessage(text, messageRoutes())
// on a thread that is not the game thread, on a stand-in host on the manual clock (the plugin's
// clock follows it, as in the tests). Afterwards the game thread (the fuzzer's thread, which made
// the host) runs what the handlers posted, then the clock moves on far enough for every timer they
// armed (join attempts, replay auto-save, hand-off retries) to fire, with the rotation watchdog
// ticking as onLoad arms it, so that the state a message leaves is also put to use.
//
// The first byte chooses the state the text meets, the rest is the text:
//   bit 0  the device is paired                   (brevant::paired)
//   bit 1  the plugin hosts its private match     (brevant::lobbyOwned)
//   bit 2  the match has a name: "Brevant Scrim"  (brevant::currentServerName)
//   bit 3  a rotation runs: the best-of-5 list, on its first map (brevant::rotationState)
// (The seeds in corpus/dispatch/ start with a character from '0' to '?', whose low four bits are
// the flags.)
//
// Fails when the host saw a fault (a game call off the game thread, an exception escaping into
// the host), when a failure was swallowed anywhere but at "dispatch" (where a malformed message is
// meant to end), or when a worker the text started does not end once asked to.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Workers.h"
#include "fuzz/Require.h"
#include "fuzz/ScratchFolder.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/Dispatcher.h"
#include "pairing/PairingState.h"
#include "platform/Clock.h"
#include "plugin/MessageRoutes.h"
#include "ranks/RankSubmit.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "rotation/PrivateMatch.h"
#include "rotation/RotationEngine.h"
#include "rotation/RotationFile.h"
#include "sdk/HostRuntime.h"
#include "tests/support/ManualClock.h"

namespace {

// The device the texts are about; the seeds address it by this identifier.
constexpr const char* kDeviceId = "3f2a9c1e-7b4d-4e8a-9f06-5c1d2e3b4a70";
constexpr const char* kServerName = "Brevant Scrim";
// Longer than the latest timer a message arms.
constexpr double kTimerSeconds = 10.0;

// The plugin's clock: the host's manual clock.
using HostClock = testing_support::ManualClock;

// The state every input starts from: the plugin's state as onLoad resets it, the rotation file in
// the host's data folder as onLoad sets it, then what the first byte chooses. No input sees what
// an earlier one left, so a reproducer needs no history.
void startState(std::uint8_t flags) {
    brevant::clearSwallowedFailures();
    brevant::resetPairingState();
    brevant::ranks::resetRankState();
    brevant::resetMatchIdentity();
    brevant::resetHostingState();
    brevant::resetRotationEngineState();
    brevant::autoSaveLogCount = 0;
    brevant::resetMatchIdentity();

    brevant::paired = (flags & 1) != 0;
    brevant::pairStatusKnown = brevant::paired.load();
    if (flags & 2)
        brevant::beginHostingSeries();
    else
        brevant::resetSeries();
    std::lock_guard lk(brevant::hostingMutex);
    brevant::currentServerName = (flags & 4) ? kServerName : "";
    brevant::rotationState.file = brevant::rotationFilePath(fuzz::scratchFolder().wstring());
    if (flags & 8) {
        auto& rotation = brevant::rotationState;
        rotation.rotation = brevant::rotationMapsMd5;
        rotation.lastMap = rotation.rotation.front();
        rotation.nextIdx = 1;
        rotation.enabled = true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    brevant::deviceId = kDeviceId;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    // A fresh host for every input: its console and toasts keep everything they are given.
    auto rt = sdk::HostRuntime::create({sdk::ClockMode::Manual, fuzz::scratchFolder()});
    HostClock clock(*rt);
    platform::setClockSource(&clock);
    brevant::globalCvarManager.store(rt->makeCvarManager());
    brevant::globalGameWrapper.store(rt->makeGameWrapper());
    startState(data[0]);
    brevant::tickRotationWatchdog();

    std::thread receiver([&] { brevant::dispatchMessage(text, brevant::messageRoutes()); });
    receiver.join();
    rt->runPosted();
    rt->advance(kTimerSeconds);

    if (brevant::runningWorkers() > 0) {
        brevant::requestWorkersStop();
        if (brevant::waitForWorkers(std::chrono::seconds(5)) > 0)
            fuzz::fail("a worker the message started did not end when asked to stop");
        rt->runPosted();
    }
    for (const auto& fault : rt->faults())
        fuzz::fail("host fault: " + fault);
    for (const auto& [where, count] : brevant::swallowedFailures()) {
        if (where != "dispatch")
            fuzz::fail(std::to_string(count) + " failure(s) swallowed at \"" + where + "\"");
    }

    rt->forgetPluginCallbacks();
    brevant::globalGameWrapper.store(nullptr);
    brevant::globalCvarManager.store(nullptr);
    platform::setClockSource(nullptr);
    return 0;
}

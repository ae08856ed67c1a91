// P5: how long unload holds the game thread, with everything a load starts running: the session
// connected to the reference backend, a series hosted (so the final save has something to
// write), the replay watcher polling, and, in the second case, a 20 MiB replay on its way up to
// an upload endpoint that takes the connection and never reads.
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchBackend.h"
#include "bench/BenchHost.h"
#include "bench/MuteListener.h"
#include "bench/Targets.h"
#include "match/MatchIdentity.h"
#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int runs = 10;

double unloadOnce(bool uploading) {
    BenchBackend backend("brevant-bench-unload");
    MuteListener mute;
    const auto data = backend.folder / "data";
    std::filesystem::create_directories(data / "cfg");
    std::ofstream(data / "cfg" / "config.cfg")
        << "brv_replay_dir \"" << backend.demos.string() << "\"\n";
    BenchHost host(data);
    if (uploading) {
        const auto ports = backend.server->ports();
        brevant::setBackendEndpointForTests(
            {L"127.0.0.1", ports.ws, ports.pair, ports.rank, mute.port()});
    }
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
    if (uploading) {
        const auto replay = backend.demos / "replay_VXA_big.replay";
        std::ofstream(replay, std::ios::binary) << std::string(20 * 1024 * 1024, 'r');
        brevant::outbox::keepReplay(
            {replay.string(), 20 * 1024 * 1024, 0, true, "bench", "Bench", ""});
        // Long enough for the file to be read and the send to be stuck on a full socket.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const auto start = Clock::now();
    host.unload();
    return static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1));
}

TargetRow measure(bool uploading) {
    std::vector<double> held;
    bool failed = false;
    for (int i = 0; i < runs; ++i) {
        const double ns = unloadOnce(uploading);
        failed = failed || ns < 0;
        held.push_back(ns);
    }
    const double worst = percentile(held, 100);
    return {std::string("P5 unload, game thread") + (uploading ? ", upload under way" : ""),
            failed ? "failed" : formatNanos(worst), "< 100 ms", !failed && worst < 100e6,
            "max of " + std::to_string(runs) + ", median " + formatNanos(percentile(held, 50)) +
                "; connected, a series hosted, the watcher running" +
                (uploading ? ", 20 MiB going up to a mute endpoint" : "")};
}

const bool registered = addTarget("P5 unload", [] {
    return std::vector<TargetRow>{measure(false), measure(true)};
});

}  // namespace
}  // namespace bench

// P5: how long unload holds the game thread, with everything a load starts running: the session
// connected to the reference backend, a series hosted (so the final save has something to
// write), the replay watcher polling, and, in the second case, a 20 MiB replay on its way up to
// an upload endpoint that takes the connection and never reads. In the third, the backend's
// name takes 20 s to resolve: the session's open and the upload's exchange both sit in the
// lookup when unload comes. In the fourth, the backend hangs (as a stopped process does): the
// WebSocket was upgraded, then nothing is read or answered, the close frame included. Every
// folder is under the working directory (the build's), not the temporary one, which may be in
// memory and would hide the final save's wait on the disk.
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchBackend.h"
#include "bench/BenchHost.h"
#include "bench/MuteListener.h"
#include "bench/Targets.h"
#include "core/Workers.h"
#include "match/MatchIdentity.h"
#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "tests/support/WsTestServer.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int runs = 10;

enum class Case { Connected, Uploading, SlowLookup, Hung };

double unloadOnce(Case c) {
    const bool uploading = c == Case::Uploading || c == Case::SlowLookup;
    BenchBackend backend("brevant-bench-unload", std::filesystem::current_path());
    MuteListener mute;
    testing_support::WsTestServer hung;
    hung.acceptUpgradesWithoutReading();
    const auto data = backend.folder / "data";
    std::filesystem::create_directories(data / "cfg");
    std::ofstream(data / "cfg" / "config.cfg")
        << "brv_replay_dir \"" << backend.demos.string() << "\"\n";
    BenchHost host(data);
    const auto ports = backend.server->ports();
    if (c == Case::Uploading)
        brevant::setBackendEndpointForTests(
            {L"127.0.0.1", ports.ws, ports.pair, ports.rank, mute.port()});
    if (c == Case::SlowLookup)  // tests/support/SlowLookup.cpp answers it after 20 s
        brevant::setBackendEndpointForTests(
            {L"slow-20000.brevant.test", ports.ws, ports.pair, ports.rank, ports.upload});
    if (c == Case::Hung)
        brevant::setBackendEndpointForTests(
            {L"127.0.0.1", hung.port(), ports.pair, ports.rank, ports.upload});
    host.load();
    host.advance(0.3);
    // The connector's thread opens the session: a bounded wait for it, in real time.
    const auto openBy = Clock::now() + std::chrono::seconds(5);
    while (c != Case::SlowLookup && !brevant::backendConnected() && Clock::now() < openBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (c != Case::SlowLookup && !brevant::backendConnected())
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

TargetRow measure(Case c) {
    std::vector<double> held;
    bool failed = false;
    for (int i = 0; i < runs; ++i) {
        const double ns = unloadOnce(c);
        failed = failed || ns < 0;
        held.push_back(ns);
    }
    // The threads unload let go of (the host waits for them before it closes the module): with
    // the lookups cancelled, none is left to wait for.
    const auto start = Clock::now();
    const int left = brevant::waitForWorkers(std::chrono::seconds(5));
    const double after = static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1));
    const double worst = percentile(held, 100);
    const char* what = c == Case::Connected    ? ""
                       : c == Case::Uploading  ? ", upload under way"
                       : c == Case::SlowLookup ? ", 20 s name lookups under way"
                                               : ", backend hung";
    return {std::string("P5 unload, game thread") + what, failed ? "failed" : formatNanos(worst),
            "< 100 ms", !failed && worst < 100e6,
            "max of " + std::to_string(runs) + ", median " + formatNanos(percentile(held, 50)) +
                "; connected, a series hosted, the watcher running" +
                (c == Case::Uploading    ? ", 20 MiB going up to a mute endpoint"
                 : c == Case::SlowLookup ? " (but the backend's name resolves in 20 s)"
                 : c == Case::Hung       ? " (but the backend reads nothing and answers no close)"
                                         : "") +
                "; then threads left: " + std::to_string(left) + " (waited " + formatNanos(after) +
                ")"};
}

const bool registered = addTarget("P5 unload", [] {
    return std::vector<TargetRow>{measure(Case::Connected), measure(Case::Uploading),
                                  measure(Case::SlowLookup), measure(Case::Hung)};
});

}  // namespace
}  // namespace bench

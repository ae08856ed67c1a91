// P6: how long the game thread waits when the backend is dead or slow. The plugin's connector
// thread opens its session 0.3 s after load, while the game goes on a frame every 20 ms for the
// open's whole deadline; each case points it at a backend that refuses,
// one that never answers the connection, one that takes the connection and never answers the
// upgrade, each behind a name lookup that is quick, slow, or slower than the whole deadline. Then
// the same with brv_ws_reconnect on: the game goes on for eight seconds while the session is
// opened again and again off its thread. The figure is the longest wait of the game thread over
// all of them.

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchHost.h"
#include "bench/MuteListener.h"
#include "bench/Targets.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "platform/Text.h"
#include "tests/support/SilentListener.h"

// Names that this program's name server answers slowly: "slow-<ms>.brevant.test" answers
// 127.0.0.1 after <ms> milliseconds (tests/support/SlowLookup.cpp, linked into this program).

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

double nanosSince(Clock::time_point start) {
    return static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1));
}

// The game thread's waits, in nanoseconds: its longest frame while the first open ran, and with
// reconnect on, the longest game second while the connector reopened the session.
struct Waits {
    double open = 0;
    double reopens = 0;
};

Waits openWaits(const std::string& host, std::uint16_t port, bool reconnect) {
    BenchHost bench(std::filesystem::current_path() / "bench-handshake-data");
    brevant::setBackendEndpointForTests({platform::utf8ToWide(host), port, 1, 1, 1});
    bench.load();
    if (reconnect)
        bench.rt().executeCommand("brv_ws_reconnect 1");
    bench.advance(0.2);
    auto start = Clock::now();
    bench.advance(0.1);  // the session's timer: it starts the connector, which opens the session
    Waits waits{nanosSince(start), 0};
    // The game's frames while the first open runs its course, up to past its 2.5 s deadline.
    for (const auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until;) {
        start = Clock::now();
        bench.advance(0.02);
        waits.open = std::max(waits.open, nanosSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int second = 0; reconnect && second < 8; ++second) {
        start = Clock::now();
        bench.advance(1.0);
        waits.reopens = std::max(waits.reopens, nanosSince(start));
        // Real time for the reopen the backoff started, as a player's game would give it.
        for (int i = 0;
             i < 300 && brevant::sessionStatus().state == brevant::SessionStatus::State::Connecting;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return waits;
}

const bool registered = addTarget("P6 open", [] {
    testing_support::SilentListener silent;
    MuteListener mute;
    struct Backend {
        const char* what;
        std::uint16_t port;
    };
    std::vector<Backend> backends = {{"refusing", 1}, {"upgrade never answered", mute.port()}};
    if (silent.unusable().empty())
        backends.push_back({"connection never answered", silent.port()});
    struct Lookup {
        const char* what;
        std::string host;
    };
    const Lookup lookups[] = {{"no lookup", "127.0.0.1"},
                              {"1.5 s lookup", "slow-1500.brevant.test"},
                              {"4 s lookup", "slow-4000.brevant.test"}};
    double worst = 0;
    std::string worstCase, all;
    for (const bool reconnect : {false, true}) {
        for (const auto& lookup : lookups) {
            for (const auto& backend : backends) {
                const Waits waits = openWaits(lookup.host, backend.port, reconnect);
                const double waited = std::max(waits.open, waits.reopens);
                const std::string what = std::string(lookup.what) + " + " + backend.what +
                                         (reconnect ? " + reconnect on" : "");
                all += (all.empty() ? "" : "; ") + what + ": " + formatNanos(waits.open) +
                       (reconnect ? ", reopens " + formatNanos(waits.reopens) : "");
                if (waited > worst) {
                    worst = waited;
                    worstCase = what;
                }
            }
        }
    }
    return std::vector<TargetRow>{
        {"P6 game-thread wait, dead or slow backend", formatNanos(worst), "< 5 ms", worst < 5e6,
         "worst: " + worstCase + " (" + all + ")" +
             (silent.unusable().empty() ? ""
                                        : "; silent listener unusable: " + silent.unusable())}};
});

}  // namespace
}  // namespace bench

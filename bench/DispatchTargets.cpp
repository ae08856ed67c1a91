// P2: the dispatch of each message type beside a bare parse of the same text, interleaved in one
// run: batches of parses and batches of dispatches take turns, and each side's median time per
// message is compared. A dispatch is the whole path of a received text: the receive thread hands
// it to the dispatch thread, which parses, routes and runs the handler (a ping's pong goes out on
// the session); a batch counts until the dispatch thread has handled its last message. The
// receive thread's own share (the hand-over) is reported beside it. The plugin is loaded in the
// stand-in host with its session open to a loopback WebSocket server, paired, hosting a series,
// its replay watcher off; what the handlers post to the game thread is dropped between batches.
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchHost.h"
#include "bench/Targets.h"
#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "net/Dispatcher.h"
#include "net/Json.h"
#include "net/MessagePipeline.h"
#include "pairing/PairingState.h"
#include "plugin/MessageRoutes.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "tests/support/WsTestServer.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
// A burst the queue takes whole (its bound is 1024 messages).
constexpr int batch = 1000;
constexpr int rounds = 21;

// The series the host runs before each message type is measured.
void hostingSeries() {
    brevant::paired = true;
    brevant::beginHostingSeries();
    std::lock_guard lk(brevant::hostingMutex);
    brevant::currentServerName = "Bench";
    brevant::rotationState.rotation = brevant::rotationMapsMd5;
    brevant::rotationState.lastMap = "Stadium_P";
    brevant::rotationState.nextIdx = 3;
    brevant::rotationState.enabled = true;
    brevant::observeSeries(true);
}

struct MessageKind {
    const char* name;
    std::function<std::string(int)> text;  // the i-th text of a batch
    std::function<void()> before = {};     // state the handler needs, before each batch
};

double nanosPerMessage(const std::function<void(const std::string&)>& work,
                       const std::vector<std::string>& texts) {
    const auto start = Clock::now();
    for (const auto& text : texts)
        work(text);
    return static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1)) /
           static_cast<double>(texts.size());
}

std::vector<MessageKind> kinds() {
    const std::string rotation =
        R"(["EuroStadium_Night_P","CHN_Stadium_P","Stadium_P","UtopiaStadium_Dusk_P","cs_p"])";
    return {
        {"ping", [](int) { return std::string(R"({"t":"ping"})"); }},
        {"paired_ok", [](int) { return std::string(R"({"t":"paired_ok"})"); }},
        {"pair_required", [](int) { return std::string(R"({"t":"pair_required"})"); }},
        {"rank_ack",
         [](int) { return std::string(R"({"t":"rank_ack","status":"ok","note":"cargo"})"); }},
        {"apply_map", [](int) { return std::string(R"({"t":"apply_map","map":"Stadium_P"})"); }},
        {"rotate_handoff",
         [](int) {
             return std::string(
                 R"({"t":"rotate_handoff","server":"Bench","nextMap":"cs_p","lastMap":"Stadium_P","maxPlayers":6,"region":9,"from":"peer","scope":"all","broadcast":true,"seq":7})");
         }},
        {"rotate_handoff_ack",
         [](int) {
             return std::string(
                 R"({"t":"rotate_handoff_ack","ok":true,"server":"Bench","map":"cs_p","by":"peer","seq":0})");
         }},
        {"rotate_state_req",
         [](int) {
             return std::string(R"({"t":"rotate_state_req","server":"Bench","from":"peer"})");
         }},
        {"rotate_state",
         [rotation](int i) {
             // A rising revision of the same width: each one is newer, and taken.
             return R"({"t":"rotate_state","server":"Bench","from":"peer","enabled":true,"rotation":)" +
                    rotation +
                    R"(,"nextIdx":3,"lastMap":"Stadium_P","maxPlayers":6,"region":9,"rev":)" +
                    std::to_string(10'000'000 + i) + R"(,"ts":123456789})";
         },
         [] { brevant::rotationState.rev = 1; }},
        {"create",
         [](int) {
             return std::string(
                 R"({"t":"create","serverName":"Bench","password":"pw","maxPlayers":6,"bestOf":5,"region":"SAM","rotate":true})");
         }},
        {"join_private",
         [](int) {
             return R"({"t":"join_private","to":")" + brevant::deviceId +
                    R"(","serverName":"Bench","password":"pw"})";
         },
         [] { brevant::resetSeries(); }},
    };
}

const bool registered = addTarget("P2 dispatch", [] {
    std::vector<TargetRow> rows;
    const auto folder = std::filesystem::current_path() / "bench-dispatch-data";
    std::filesystem::create_directories(folder / "cfg");
    std::ofstream(folder / "cfg" / "config.cfg") << "brv_watch_replays \"0\"\n";
    testing_support::WsTestServer server;  // takes the pongs and whatever else is sent
    BenchHost host(folder);
    brevant::setBackendEndpointForTests({L"127.0.0.1", server.port(), 1, 1, 1});
    host.load();
    host.advance(0.3);
    // The connector's thread opens the session: a bounded wait for it, in real time.
    const auto openBy = Clock::now() + std::chrono::seconds(5);
    while (!brevant::backendConnected() && Clock::now() < openBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!brevant::backendConnected())
        return std::vector<TargetRow>{
            {"P2 dispatch", "failed", ">= 0.90x of parse", false, "the session did not open"}};
    const auto routes = brevant::messageRoutes();
    brevant::MessagePipeline pipeline(routes);
    pipeline.start("brv-dispatch");
    for (const auto& kind : kinds()) {
        hostingSeries();
        std::vector<std::string> texts;
        for (int i = 0; i < batch; ++i)
            texts.push_back(kind.text(i));
        std::vector<double> parse, dispatch, handled;
        for (int r = 0; r < rounds; ++r) {
            parse.push_back(nanosPerMessage(
                [](const std::string& t) {
                    const auto doc = brevant::json::parse(t, nullptr, false);
                    if (doc.is_discarded())
                        std::abort();
                },
                texts));
            if (kind.before)
                kind.before();
            // Each text as the transport's read hands it over: a string of its own.
            std::vector<std::string> received = texts;
            const auto start = Clock::now();
            for (auto& text : received)
                pipeline.push(std::move(text));
            const auto pushed = Clock::now();
            while (!pipeline.drained())
                std::this_thread::yield();
            const auto done = Clock::now();
            dispatch.push_back(static_cast<double>((pushed - start) / std::chrono::nanoseconds(1)) /
                               batch);
            handled.push_back(static_cast<double>((done - start) / std::chrono::nanoseconds(1)) /
                              batch);
            host.rt().forgetPluginCallbacks();  // what the handlers posted
            host.rt().forgetConsoleEvents();
        }
        const double p = percentile(parse, 50), h = percentile(handled, 50);
        const double ratio = p / h;
        char figure[32];
        std::snprintf(figure, sizeof figure, "%.2fx", ratio);
        rows.push_back({std::string("P2 dispatch ") + kind.name, figure, ">= 0.90x of parse",
                        ratio >= 0.9,
                        "parse " + formatNanos(p) + ", dispatch (hand-over, parse, handler) " +
                            formatNanos(h) + ", of which the receive thread's hand-over " +
                            formatNanos(percentile(dispatch, 50)) + " per message"});
    }
    brevant::paired = true;
    return rows;
});

}  // namespace
}  // namespace bench

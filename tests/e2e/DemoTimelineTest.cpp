// The demo's series end to end: two host programs, each loading the built plugin module, against
// the reference backend over loopback on ephemeral ports, which they learn through
// BREVANT_BACKEND.
#include <gtest/gtest.h>

#include <memory>

#include "backend/Server.h"
#include "host/DemoScenario.h"
#include "tests/support/LoopbackBackend.h"

namespace {

TEST(EndToEnd, TwoClientsPlayASeries) {
    testing_support::TempDir dir;
    host::Timeline timeline;

    // As in the demo, the backend's restart builds it anew on its ports and its state file.
    auto options = testing_support::loopbackBackendOptions(dir);
    options.statePath = (dir.path() / "state.sqlite").string();
    std::unique_ptr<brevant::backend::Server> server;
    auto build = [&](std::string* error) {
        server = std::make_unique<brevant::backend::Server>(options);
        server->setLogSink(
            [&](const std::string& line) { timeline.add(host::Side::Backend, line); });
        return server->start(error);
    };
    std::string error;
    ASSERT_TRUE(build(&error)) << error;
    const std::string endpoint = testing_support::endpointOf(*server);
    const auto ports = server->ports();
    options.wsPort = ports.ws;
    options.pairPort = ports.pair;
    options.rankPort = ports.rank;
    options.uploadPort = ports.upload;

    auto client = [&](const std::string& name) {
        return host::DemoClientSetup{name, BREVANT_HOST_PROGRAM, BREVANT_MODULE_PATH,
                                     dir.path() / name, endpoint};
    };
    host::DemoClient a(client("A"), timeline);
    host::DemoClient b(client("B"), timeline);
    host::DemoParts parts;
    parts.a = &a;
    parts.b = &b;
    parts.backendCommand = [&](const std::string& line) {
        return server ? server->runCommand(line) : std::string("error: the backend is away");
    };
    parts.stopBackend = [&] { server.reset(); };
    parts.startBackend = [&] { return build(nullptr); };

    const auto outcome = host::runDemoScenario(parts, timeline, std::chrono::seconds(30));
    std::string printed;
    for (const auto& e : timeline.events())
        printed += host::formatTimelineEvent(e) + "\n";
    EXPECT_TRUE(outcome.ok) << "failed at " << outcome.failedStep << "\n" << printed;
    ASSERT_TRUE(server);
    auto& backend = *server;

    // Both clients said hello once per start and after the backend came back; A's two rank
    // submissions reached the backend, and each game's result and replay came once, from the
    // client that hosted its series: A's three games of the first (the third kept while the
    // backend was away), B's one of the next.
    const auto hellos = backend.hellos();
    ASSERT_EQ(hellos.size(), 6u);
    const std::string idA = hellos[0].deviceId, idB = hellos[1].deviceId;
    EXPECT_EQ(backend.rankSubmissions().size(), 2u);
    const auto results = backend.gameResults();
    ASSERT_EQ(results.size(), 4u);
    const auto uploads = backend.uploads();
    ASSERT_EQ(uploads.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string& host = i < 3 ? idA : idB;
        EXPECT_EQ(results[i].deviceId, host);
        EXPECT_EQ(uploads[i].deviceId, host);
        EXPECT_EQ(uploads[i].bytes, 300000u);
        EXPECT_EQ(uploads[i].fileName.rfind("replay_VXA_", 0), 0u) << uploads[i].fileName;
    }
    EXPECT_TRUE(
        backend.waitUntil([&] { return backend.clients().empty(); }, std::chrono::seconds(10)));
    backend.stop();
}

}  // namespace

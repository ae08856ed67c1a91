// The demo's series end to end: two host programs, each loading the built plugin module, against
// the reference backend over loopback on ephemeral ports, which they learn through
// BREVANT_BACKEND.
#include <gtest/gtest.h>

#include "backend/Server.h"
#include "host/DemoScenario.h"
#include "tests/support/LoopbackBackend.h"

namespace {

TEST(EndToEnd, TwoClientsPlayASeries) {
    testing_support::TempDir dir;
    host::Timeline timeline;

    brevant::backend::Server backend(testing_support::loopbackBackendOptions(dir));
    backend.setLogSink([&](const std::string& line) { timeline.add(host::Side::Backend, line); });
    std::string error;
    ASSERT_TRUE(backend.start(&error)) << error;
    const std::string endpoint = testing_support::endpointOf(backend);

    auto client = [&](const std::string& name) {
        return host::DemoClientSetup{name, BREVANT_HOST_PROGRAM, BREVANT_MODULE_PATH,
                                     dir.path() / name, endpoint};
    };
    host::DemoClient a(client("A"), timeline);
    host::DemoClient b(client("B"), timeline);
    host::DemoParts parts;
    parts.a = &a;
    parts.b = &b;
    parts.backendCommand = [&](const std::string& line) { return backend.runCommand(line); };

    const auto outcome = host::runDemoScenario(parts, timeline, std::chrono::seconds(30));
    std::string printed;
    for (const auto& e : timeline.events())
        printed += host::formatTimelineEvent(e) + "\n";
    EXPECT_TRUE(outcome.ok) << "failed at " << outcome.failedStep << "\n" << printed;

    // Both clients said hello once; A's two rank submissions and A's two game results, one per
    // game, reached the backend.
    const auto hellos = backend.hellos();
    ASSERT_EQ(hellos.size(), 2u);
    EXPECT_EQ(backend.rankSubmissions().size(), 2u);
    const auto results = backend.gameResults();
    ASSERT_EQ(results.size(), 2u);
    for (const auto& result : results)
        EXPECT_EQ(result.deviceId, hellos[0].deviceId);
    const auto uploads = backend.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    for (const auto& upload : uploads) {
        EXPECT_EQ(upload.deviceId, hellos[0].deviceId);
        EXPECT_EQ(upload.bytes, 300000u);
        EXPECT_EQ(upload.fileName.rfind("replay_VXA_", 0), 0u) << upload.fileName;
    }
    EXPECT_TRUE(
        backend.waitUntil([&] { return backend.clients().empty(); }, std::chrono::seconds(10)));
    backend.stop();
}

}  // namespace

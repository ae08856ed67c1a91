// The demo's scenario end to end, in one process: the plugin (linked in) in a host running in
// real time, against the reference backend, over loopback on ephemeral ports.
#include <gtest/gtest.h>

#include <algorithm>

#include "backend/Server.h"
#include "core/Workers.h"
#include "host/DemoScenario.h"
#include "net/BackendEndpoint.h"
#include "plugin/Brevant.h"
#include "tests/support/TempDir.h"

namespace {

TEST(EndToEnd, DemoScenarioShowsEveryStep) {
    testing_support::TempDir dir;
    host::Timeline timeline;

    brevant::backend::Options options;
    options.wsPort = options.pairPort = options.rankPort = options.uploadPort = 0;
    options.pingPeriod = std::chrono::milliseconds(0);
    options.uploadDir = dir.path() / "uploads";
    brevant::backend::Server backend(options);
    backend.setLogSink([&](const std::string& line) { timeline.add(host::Side::Backend, line); });
    std::string error;
    ASSERT_TRUE(backend.start(&error)) << error;
    const auto ports = backend.ports();
    brevant::setBackendEndpointForTests(
        {L"127.0.0.1", ports.ws, ports.pair, ports.rank, ports.upload});

    auto rt = sdk::HostRuntime::create({sdk::ClockMode::RealTime, dir.path() / "data"});
    host::connectRuntimeToTimeline(*rt, timeline);
    rt->startGameThread();

    std::shared_ptr<brevant::Brevant> plugin;
    host::DemoParts parts;
    parts.runtime = rt.get();
    parts.loadPlugin = [&] {
        plugin = std::make_shared<brevant::Brevant>();
        plugin->cvarManager = rt->makeCvarManager();
        plugin->gameWrapper = rt->makeGameWrapper();
        rt->runOnGameThread([&] { plugin->onLoad(); });
    };
    parts.unloadPlugin = [&] {
        rt->runOnGameThread([&] { plugin->onUnload(); });
        return true;
    };
    parts.waitForWorkers = [] { brevant::waitForWorkers(std::chrono::seconds(10)); };
    parts.backendCommand = [&](const std::string& line) { return backend.runCommand(line); };

    const auto outcome = host::runDemoScenario(parts, timeline, std::chrono::seconds(20));
    std::string printed;
    for (const auto& e : timeline.events())
        printed += host::formatTimelineEvent(e) + "\n";
    EXPECT_TRUE(outcome.ok) << "failed at " << outcome.failedStep << "\n" << printed;

    // The backend saw one hello from this device and one accepted and one refused submission.
    const auto hellos = backend.hellos();
    ASSERT_EQ(hellos.size(), 1u);
    EXPECT_EQ(hellos[0].platform, "steam");
    EXPECT_EQ(hellos[0].version, "0.0.2");
    EXPECT_EQ(backend.rankSubmissions().size(), 2u);
    EXPECT_TRUE(
        backend.clients().empty() ||
        backend.waitUntil([&] { return backend.clients().empty(); }, std::chrono::seconds(10)));

    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0);
    rt->runOnGameThread([&] { rt->forgetPluginCallbacks(); });
    rt->stopGameThread();
    plugin.reset();
    backend.stop();
    for (const auto& fault : rt->faults())
        ADD_FAILURE() << "host fault: " << fault;
}

}  // namespace

// The end-to-end demo: the plugin module in the host program, against the reference backend
// (embedded by default), driven through its main paths with a readable timeline.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "backend/Server.h"
#include "host/DemoScenario.h"
#include "host/PluginLoader.h"
#include "platform/HttpTransport.h"

namespace {

struct Options {
    std::filesystem::path dataFolder = "brevant-demo-data";
    std::filesystem::path module = BREVANT_DEFAULT_MODULE;
    bool externalBackend = false;
    int stepSeconds = 15;
};

void usage() {
    std::cerr
        << "usage: brevant-demo [--data DIR] [--module FILE] [--external-backend] [--step-seconds "
           "N]\n"
           "  Runs the plugin in the host program against the reference backend and prints a\n"
           "  timeline. The backend runs in this process unless --external-backend is given;\n"
           "  then the plugin uses the backend at "
        << BREVANT_BACKEND_HOST << " and the demo drives it through its admin route.\n";
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--data" && value) {
            o.dataFolder = argv[++i];
        } else if (a == "--module" && value) {
            o.module = argv[++i];
        } else if (a == "--step-seconds" && value) {
            o.stepSeconds = std::atoi(argv[++i]);
            if (o.stepSeconds <= 0)
                return false;
        } else if (a == "--external-backend") {
            o.externalBackend = true;
        } else {
            return false;
        }
    }
    return true;
}

// One command line through the backend's loopback admin route.
std::string adminCommand(const std::string& line) {
    platform::HttpRequest request;
    request.method = "POST";
    request.host = BREVANT_BACKEND_HOST;
    request.port = BREVANT_PAIR_PORT;
    request.target = "/admin";
    request.userAgent = "brevant-demo";
    request.extraHeaders = "X-Brevant-Admin: 1\r\n";  // what tells a script from a web page
    request.body = line;
    platform::HttpResponse response;
    if (!platform::httpExchange(request, response))
        return "error: the backend did not answer";
    if (response.status != 200)
        return "error: " + response.body;
    return response.body;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(options.dataFolder, ec);

    host::Timeline timeline([](const std::string& line) { std::cout << line << std::endl; });

    std::unique_ptr<brevant::backend::Server> backend;
    if (!options.externalBackend) {
        brevant::backend::Options bo;
        bo.address = BREVANT_BACKEND_HOST;
        bo.wsPort = BREVANT_WS_PORT;
        bo.pairPort = BREVANT_PAIR_PORT;
        bo.rankPort = BREVANT_RANK_PORT;
        bo.uploadPort = BREVANT_UPLOAD_PORT;
        bo.pingPeriod = std::chrono::milliseconds(0);  // pings come from the scenario
        bo.uploadDir = options.dataFolder / "uploads";
        backend = std::make_unique<brevant::backend::Server>(bo);
        backend->setLogSink(
            [&](const std::string& line) { timeline.add(host::Side::Backend, line); });
        std::string error;
        if (!backend->start(&error)) {
            std::cerr << "brevant-demo: the embedded backend cannot start: " << error << "\n";
            if (error.rfind("cannot listen", 0) == 0)
                std::cerr << "brevant-demo: the plugin was built for these ports, so the demo "
                             "needs them; free the port, or build and run the demo for others, "
                             "e.g. DEMO_WS_PORT=28080 DEMO_RANK_PORT=26567 DEMO_UPLOAD_PORT=26566 "
                             "./dev demo\n";
            return 3;
        }
    }

    auto rt = sdk::HostRuntime::create({sdk::ClockMode::RealTime, options.dataFolder});
    host::connectRuntimeToTimeline(*rt, timeline);
    rt->startGameThread();

    std::unique_ptr<host::LoadedPlugin> plugin;
    host::DemoParts parts;
    parts.runtime = rt.get();
    parts.loadPlugin = [&] {
        std::string error;
        plugin = host::LoadedPlugin::open(options.module, rt, error);
        if (!plugin)
            throw std::runtime_error("cannot load " + options.module.string() + ": " + error);
        plugin->load();
    };
    parts.unloadPlugin = [&] {
        if (!plugin)
            return true;
        const bool closed = plugin->unload();
        plugin.reset();
        return closed;
    };
    parts.waitForWorkers = [&] {
        if (plugin)
            plugin->waitForWorkers(std::chrono::seconds(10));
    };
    parts.backendCommand = [&](const std::string& line) {
        return backend ? backend->runCommand(line) : adminCommand(line);
    };
    parts.backendVisible = backend != nullptr;

    const auto outcome =
        host::runDemoScenario(parts, timeline, std::chrono::seconds(options.stepSeconds));

    rt->stopGameThread();
    rt->saveConfig();
    if (backend)
        backend->stop();
    if (!outcome.ok) {
        std::cerr << "brevant-demo: failed at step \"" << outcome.failedStep << "\"\n";
        return 1;
    }
    return 0;
}

// The end-to-end demo: two clients, each the plugin module in its own host program, against the
// reference backend (embedded by default), through a best-of-5 series, with a readable timeline.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "backend/Server.h"
#include "host/DemoScenario.h"
#include "platform/HttpTransport.h"

namespace {

struct Options {
    std::filesystem::path folder = "brevant-demo-data";
    std::filesystem::path module = BREVANT_DEFAULT_MODULE;
    std::filesystem::path hostProgram = BREVANT_HOST_PROGRAM;
    bool externalBackend = false;
    int stepSeconds = 15;
};

void usage() {
    std::cerr
        << "usage: brevant-demo [--data DIR] [--module FILE] [--host FILE] [--external-backend]\n"
           "                    [--step-seconds N]\n"
           "  Runs two clients, A and B (each the plugin in its own host program, with its own\n"
           "  folder DIR/A and DIR/B), through a series against the reference backend and prints\n"
           "  a timeline. The backend runs in this process on free loopback ports, which the\n"
           "  clients learn through BREVANT_BACKEND. With --external-backend the clients use the\n"
           "  backend they were built for ("
        << BREVANT_BACKEND_HOST << ") and the demo drives it through its admin route.\n";
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--data" && value) {
            o.folder = argv[++i];
        } else if (a == "--module" && value) {
            o.module = argv[++i];
        } else if (a == "--host" && value) {
            o.hostProgram = argv[++i];
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
    std::filesystem::create_directories(options.folder, ec);
    options.folder = std::filesystem::absolute(options.folder, ec);

    host::Timeline timeline([](const std::string& line) { std::cout << line << std::endl; });

    std::unique_ptr<brevant::backend::Server> backend;
    std::string endpoint;
    if (!options.externalBackend) {
        brevant::backend::Options bo;
        bo.address = "127.0.0.1";
        bo.wsPort = bo.pairPort = bo.rankPort = bo.uploadPort = 0;  // free ports
        bo.pingPeriod = std::chrono::milliseconds(0);               // pings come from the demo
        bo.uploadDir = options.folder / "uploads";
        backend = std::make_unique<brevant::backend::Server>(bo);
        backend->setLogSink(
            [&](const std::string& line) { timeline.add(host::Side::Backend, line); });
        std::string error;
        if (!backend->start(&error)) {
            std::cerr << "brevant-demo: the embedded backend cannot start: " << error << "\n";
            return 3;
        }
        const auto ports = backend->ports();
        endpoint = "127.0.0.1:" + std::to_string(ports.ws) + ":" + std::to_string(ports.pair) +
                   ":" + std::to_string(ports.rank) + ":" + std::to_string(ports.upload);
        timeline.add(host::Side::Demo, "backend on " + endpoint + " (BREVANT_BACKEND)");
    }

    auto client = [&](const std::string& name) {
        return std::make_unique<host::DemoClient>(
            host::DemoClientSetup{name, options.hostProgram, options.module, options.folder / name,
                                  endpoint},
            timeline);
    };
    auto a = client("A");
    auto b = client("B");
    host::DemoParts parts;
    parts.a = a.get();
    parts.b = b.get();
    parts.backendCommand = [&](const std::string& line) {
        return backend ? backend->runCommand(line) : adminCommand(line);
    };
    parts.backendVisible = backend != nullptr;
    if (backend) {
        parts.stopBackend = [&] { backend->stop(); };
        parts.startBackend = [&] { return backend->start(); };
    }

    const auto outcome =
        host::runDemoScenario(parts, timeline, std::chrono::seconds(options.stepSeconds));
    if (backend)
        backend->stop();
    if (!outcome.ok) {
        std::cerr << "brevant-demo: failed at step \"" << outcome.failedStep << "\"\n";
        return 1;
    }
    return 0;
}

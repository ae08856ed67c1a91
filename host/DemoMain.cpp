// The end-to-end demo: two clients, each the plugin module in its own host program, against the
// reference backend (embedded by default), through a best-of-5 series, with a readable timeline.
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "backend/Server.h"
#include "host/CommandLine.h"
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

const char* const usageHead =
    "usage: brevant-demo [--data DIR] [--module FILE] [--host FILE] [--external-backend]\n"
    "                    [--step-seconds N] [--help]\n"
    "  Runs two clients, A and B (each the plugin in its own host program, with its own\n"
    "  folder DIR/A and DIR/B), through a series against the reference backend and prints\n"
    "  a timeline. The backend runs in this process on free loopback ports, which the\n"
    "  clients learn through BREVANT_BACKEND. With --external-backend the clients use the\n"
    "  backend they were built for (";
const char* const usageTail =
    ") and the demo drives it through its admin route.\n"
    "  --step-seconds N  how long one step may take (default 15)\n";

// The exit code when the program is not to run: 2 for a mistake (printed), 0 for --help.
std::optional<int> parse(int argc, char** argv, Options& o) {
    bool help = false;
    host::CommandLine args("brevant-demo", argc, argv);
    while (const auto arg = args.next()) {
        if (host::isHelp(*arg)) {
            help = true;
        } else if (*arg == "--data") {
            if (auto v = args.value("a folder"))
                o.folder = *v;
        } else if (*arg == "--module") {
            if (auto v = args.value("a module file"))
                o.module = *v;
        } else if (*arg == "--host") {
            if (auto v = args.value("the host program"))
                o.hostProgram = *v;
        } else if (*arg == "--step-seconds") {
            if (auto v = args.number("a whole number of seconds above 0", 1, 3600, true))
                o.stepSeconds = static_cast<int>(*v);
        } else if (*arg == "--external-backend") {
            o.externalBackend = true;
        } else {
            args.unknown();
        }
    }
    if (args.failed()) {
        std::cerr << args.mistakeText();
        return 2;
    }
    if (help) {
        std::cout << usageHead << BREVANT_BACKEND_HOST << usageTail;
        return 0;
    }
    return std::nullopt;
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
    if (const auto code = parse(argc, argv, options))
        return *code;
    std::error_code ec;
    std::filesystem::create_directories(options.folder, ec);
    options.folder = std::filesystem::absolute(options.folder, ec);

    host::Timeline timeline([](const std::string& line) { std::cout << line << std::endl; });

    std::unique_ptr<brevant::backend::Server> backend;
    std::string endpoint;
    brevant::backend::Options bo;
    if (!options.externalBackend) {
        bo.address = "127.0.0.1";
        bo.wsPort = bo.pairPort = bo.rankPort = bo.uploadPort = 0;  // free ports
        bo.pingPeriod = std::chrono::milliseconds(0);               // pings come from the demo
        bo.uploadDir = options.folder / "uploads";
        bo.statePath = (options.folder / "brevant-backend.sqlite").string();
        bo.maxConnectionsPerAddress = 16;  // A and B share the loopback address, a few each
        // Like the clients' folders, the uploads and what the backend keeps are this run's
        // alone, so that "each game once" counts this run.
        std::filesystem::remove_all(bo.uploadDir, ec);
        for (const char* end : {"", "-wal", "-shm"})
            std::filesystem::remove(bo.statePath + end, ec);
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
        // A restart builds the backend anew on its ports and its state file, as a backend
        // program started again would be: what it knows comes from the file.
        bo.wsPort = ports.ws;
        bo.pairPort = ports.pair;
        bo.rankPort = ports.rank;
        bo.uploadPort = ports.upload;
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
        parts.stopBackend = [&] { backend.reset(); };
        parts.startBackend = [&] {
            backend = std::make_unique<brevant::backend::Server>(bo);
            backend->setLogSink(
                [&](const std::string& line) { timeline.add(host::Side::Backend, line); });
            return backend->start();
        };
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

#pragma once
// The reference backend on ephemeral loopback ports, storing uploads in a folder of its own
// (the temporary directory unless told), and the plugin pointed at it.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "backend/Server.h"
#include "net/BackendEndpoint.h"

namespace bench {

struct BenchBackend {
    explicit BenchBackend(
        const std::string& name = "brevant-bench-backend",
        const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
        folder = base / name;
        demos = folder / "Demos";
        brevant::backend::Options options;
        options.wsPort = options.pairPort = options.rankPort = options.uploadPort = 0;
        options.uploadDir = folder / "uploads";
        options.pingPeriod = std::chrono::milliseconds(0);
        std::filesystem::create_directories(demos);
        server = std::make_unique<brevant::backend::Server>(options);
        if (!server->start())
            std::abort();
        const auto ports = server->ports();
        brevant::setBackendEndpointForTests(
            {L"127.0.0.1", ports.ws, ports.pair, ports.rank, ports.upload});
    }
    ~BenchBackend() {
        server->stop();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::filesystem::path folder;
    std::filesystem::path demos;
    std::unique_ptr<brevant::backend::Server> server;
};

}  // namespace bench

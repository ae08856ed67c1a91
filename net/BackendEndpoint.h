#pragma once
// Where the backend is. Fixed at build time (CMake cache variables BREVANT_BACKEND_HOST and
// BREVANT_*_PORT). For development, the environment variable BREVANT_BACKEND
// ("HOST:WS:PAIR:RANK:UPLOAD", e.g. "127.0.0.1:28080:28080:26567:26566") points the plugin at
// another backend; it is read once at each load. Tests may set their own loopback servers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brevant {

struct BackendEndpoint {
    std::wstring backendHost;
    std::uint16_t webSocketPort;  // path "/ws"
    std::uint16_t pairPort;       // GET /pair-status
    std::uint16_t rankPort;       // POST /rank-submit
    std::uint16_t uploadPort;     // POST /upload-replay
};

// A copy of the endpoint in force: workers read it while a load may put a new one in force.
BackendEndpoint backendEndpoint();
// For tests: replaces the endpoint.
void setBackendEndpointForTests(const BackendEndpoint& endpoint);

// "HOST:WS:PAIR:RANK:UPLOAD" with ports 1..65535; nothing for any other text.
std::optional<BackendEndpoint> parseBackendEndpoint(std::string_view text);
// Reads BREVANT_BACKEND and puts it in force when it is well formed. Answers the line to log
// (in force, or ignored and why), or nothing when the variable is absent: then the endpoint
// stays as it is.
std::optional<std::string> applyBackendEndpointFromEnvironment();

}  // namespace brevant

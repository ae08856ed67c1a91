#pragma once
// Where the backend is. Fixed at build time (CMake cache variables BREVANT_BACKEND_HOST and
// BREVANT_*_PORT); tests may point it at their own loopback servers, nothing else changes it.
#include <cstdint>
#include <string>

namespace brevant {

struct BackendEndpoint {
    std::wstring backendHost;
    std::uint16_t webSocketPort;  // path "/ws"
    std::uint16_t pairPort;       // GET /pair-status
    std::uint16_t rankPort;       // POST /rank-submit
    std::uint16_t uploadPort;     // POST /upload-replay
};

// The endpoint in force.
const BackendEndpoint& backendEndpoint();
// For tests: replaces the endpoint. Call before anything connects.
void setBackendEndpointForTests(const BackendEndpoint& endpoint);

}  // namespace brevant

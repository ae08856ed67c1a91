#pragma once
// The reference backend on free loopback ports, as the end-to-end tests start it, and the
// BREVANT_BACKEND text that points a host program's plugin at it.
#include <string>

#include "backend/Server.h"
#include "tests/support/TempDir.h"

namespace testing_support {

inline brevant::backend::Options loopbackBackendOptions(const TempDir& dir) {
    brevant::backend::Options options;
    options.wsPort = options.pairPort = options.rankPort = options.uploadPort = 0;
    options.pingPeriod = std::chrono::milliseconds(0);  // pings come from the test
    options.uploadDir = dir.path() / "uploads";
    return options;
}

// "127.0.0.1:WS:PAIR:RANK:UPLOAD" of a started backend.
inline std::string endpointOf(const brevant::backend::Server& backend) {
    const auto ports = backend.ports();
    return "127.0.0.1:" + std::to_string(ports.ws) + ":" + std::to_string(ports.pair) + ":" +
           std::to_string(ports.rank) + ":" + std::to_string(ports.upload);
}

}  // namespace testing_support

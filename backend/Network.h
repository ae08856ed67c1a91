#pragma once
// The backend's sockets: the listeners, the HTTP connections and the WebSocket sessions, on
// network threads of their own. Beast stays behind this header.
#include <memory>
#include <string>

#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/Routes.h"
#include "backend/Server.h"

namespace brevant::backend {

class Network {
public:
    Network(const Options& options, LogBook& log, Hub& hub, Routes& routes);
    ~Network();  // stops
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // Binds every listener, then starts the network threads. On failure nothing runs and
    // `error` says which port failed and why.
    bool start(std::string& error);
    void stop();
    Ports ports() const;

    struct Impl;  // in NetworkParts.h, shared by the network files only

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brevant::backend

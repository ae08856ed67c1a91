// The network layer's start and stop: binding the listeners, the network thread, and ending
// every open connection on stop. The sessions and the listener live in their own files.
#include <future>
#include <utility>

#include <boost/asio/post.hpp>

#include "backend/NetworkParts.h"

namespace brevant::backend {

using namespace sockets;

namespace sockets {

std::string endpointText(const tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

std::string rolesText(unsigned roles) {
    std::string text;
    auto add = [&](unsigned role, const char* what) {
        if (roles & role)
            text += (text.empty() ? "" : ", ") + std::string(what);
    };
    add(kRoleWebSocket, "WebSocket /ws");
    add(kRolePair, "GET /pair-status and POST /admin");
    add(kRoleRank, "POST /rank-submit");
    add(kRoleUpload, "POST /upload-replay");
    return text;
}

}  // namespace sockets

bool Network::Impl::enlist(Closable* key, std::weak_ptr<Closable> connection) {
    std::lock_guard lock(connectionsMutex);
    if (stopping)
        return false;
    connections[key] = std::move(connection);
    return true;
}

void Network::Impl::delist(Closable* key) {
    std::lock_guard lock(connectionsMutex);
    connections.erase(key);
}

std::optional<ConnectionSlot> Network::Impl::admit() {
    std::size_t open = openConnections.load();
    do {
        if (open >= options.maxConnections)
            return std::nullopt;
    } while (!openConnections.compare_exchange_weak(open, open + 1));
    return ConnectionSlot(openConnections);
}

void Network::Impl::turnAway(tcp::socket& socket) {
    error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    const std::string peer = ec ? std::string("?") : endpointText(remote);
    socket.close(ec);
    const auto now = std::chrono::steady_clock::now();
    if (lastTurnAwayLine != std::chrono::steady_clock::time_point{} &&
        now - lastTurnAwayLine < std::chrono::seconds(1)) {
        ++turnedAwayQuietly;
        return;
    }
    std::string line = "connection from " + peer +
                       " refused: " + std::to_string(options.maxConnections) +
                       " connections are open, the most allowed";
    if (turnedAwayQuietly > 0)
        line +=
            " (" + std::to_string(turnedAwayQuietly) + " more refused since the last such line)";
    log.write(line);
    lastTurnAwayLine = now;
    turnedAwayQuietly = 0;
}

Network::Impl::~Impl() {
    listeners.clear();
}

void Network::Impl::run() {
    for (;;) {
        try {
            ioc.run();
            break;
        } catch (const std::exception& e) {
            log.write(std::string("network thread: unexpected error, going on: ") + e.what());
        }
    }
    {
        std::lock_guard lock(runMutex);
        running = false;
    }
    runEnded.notify_all();
}

Network::Network(const Options& options, LogBook& log, Hub& hub, Routes& routes)
    : impl_(std::make_unique<Impl>(options, log, hub, routes)) {}

Network::~Network() {
    stop();
}

bool Network::start(std::string& error) {
    Impl& net = *impl_;
    if (net.started) {
        error = "the server was started before";
        return false;
    }
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(net.options.address, ec);
    if (ec) {
        error = "invalid listening address '" + net.options.address + "': " + ec.message();
        return false;
    }

    // Roles with the same port share a listener; of the roles asking for port 0, only the
    // WebSocket and pairing roles share one.
    struct Group {
        std::uint16_t port;
        unsigned roles;
    };
    std::vector<Group> groups;
    auto add = [&](std::uint16_t port, unsigned role) {
        constexpr unsigned kWsAndPair = kRoleWebSocket | kRolePair;
        for (Group& g : groups) {
            if (g.port == port && (port != 0 || ((g.roles | role) & ~kWsAndPair) == 0)) {
                g.roles |= role;
                return;
            }
        }
        groups.push_back({port, role});
    };
    add(net.options.wsPort, kRoleWebSocket);
    add(net.options.pairPort, kRolePair);
    add(net.options.rankPort, kRoleRank);
    add(net.options.uploadPort, kRoleUpload);

    for (const Group& g : groups) {
        auto listener = std::make_unique<Listener>(net, g.roles);
        if (!listener->open(tcp::endpoint(address, g.port), error)) {
            net.listeners.clear();
            return false;
        }
        net.listeners.push_back(std::move(listener));
    }
    for (const auto& listener : net.listeners) {
        const unsigned roles = listener->roles();
        const std::uint16_t port = listener->port();
        if (roles & kRoleWebSocket)
            net.bound.ws = port;
        if (roles & kRolePair)
            net.bound.pair = port;
        if (roles & kRoleRank)
            net.bound.rank = port;
        if (roles & kRoleUpload)
            net.bound.upload = port;
        net.log.write("listening on " + endpointText(tcp::endpoint(address, port)) + ": " +
                      rolesText(roles));
        listener->accept();
    }
    net.work.emplace(asio::make_work_guard(net.ioc));
    net.running = true;
    net.started = true;
    net.thread = std::thread([&net] { net.run(); });
    return true;
}

void Network::stop() {
    Impl& net = *impl_;
    if (!net.started || net.stopped)
        return;
    net.stopped = true;

    // No new connections: the listeners close on the network thread, then every open
    // connection is ended.
    auto closed = std::make_shared<std::promise<void>>();
    asio::post(net.ioc, [&net, closed] {
        for (const auto& listener : net.listeners)
            listener->close();
        closed->set_value();
    });
    closed->get_future().wait_for(std::chrono::seconds(2));
    std::vector<std::shared_ptr<Closable>> open;
    {
        std::lock_guard lock(net.connectionsMutex);
        net.stopping = true;
        for (const auto& [key, weak] : net.connections) {
            if (auto connection = weak.lock())
                open.push_back(std::move(connection));
        }
    }
    for (const auto& connection : open)
        connection->shutdown();
    open.clear();
    net.work.reset();
    {
        std::unique_lock lock(net.runMutex);
        if (!net.runEnded.wait_for(lock, std::chrono::seconds(3), [&] { return !net.running; }))
            net.ioc.stop();  // something still waits on a timer; it need not finish
    }
    net.thread.join();
    net.log.write("stopped");
}

Ports Network::ports() const {
    return impl_->bound;
}

}  // namespace brevant::backend

// The network layer's start and stop (binding the listeners, the network threads, ending every
// open connection on stop) and what the connections share: the connection cap and its
// evictions, and the backlog budget with its paused readers. The sessions and the listener live
// in their own files.
#include <algorithm>
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

namespace sockets {

bool RateLimitedLine::due(std::size_t& count) {
    std::lock_guard lock(mutex_);
    ++quiet_;
    const auto now = std::chrono::steady_clock::now();
    if (last_ != std::chrono::steady_clock::time_point{} && now - last_ < std::chrono::seconds(1))
        return false;
    count = quiet_;
    quiet_ = 0;
    last_ = now;
    return true;
}

}  // namespace sockets

namespace sockets {

asio::ip::address peerAddress(const tcp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

void ConnectionSlot::release() {
    if (auto* net = std::exchange(net_, nullptr))
        net->freeSlot(address_);
}

}  // namespace sockets

std::optional<ConnectionSlot> Network::Impl::admit(const asio::ip::address& address,
                                                   bool& fromAddress) {
    {
        std::lock_guard lock(slotsMutex);
        const auto from = openFrom.find(address);
        const std::size_t limit = options.maxConnectionsPerAddress;
        fromAddress = limit != 0 && from != openFrom.end() && from->second >= limit;
        if (!fromAddress && openConnections < options.maxConnections) {
            ++openConnections;
            ++openFrom[address];
            return ConnectionSlot(*this, address);
        }
    }
    // At a limit: the oldest idle connection within it gives its place. Its slot is counted
    // until it has closed, a moment later.
    if (!evictOldestIdle(fromAddress ? &address : nullptr))
        return std::nullopt;
    if (std::size_t count = 0; evictionLine.due(count))
        log.write(
            "at the " +
            (fromAddress ? "limit of " + std::to_string(options.maxConnectionsPerAddress) +
                               " connections from " + address.to_string()
                         : "cap of " + std::to_string(options.maxConnections) + " connections") +
            ": closed " + std::to_string(count) + (count == 1 ? " connection" : " connections") +
            " idle (no request head, no hello, a hello whose device is not paired " +
            std::to_string(options.unpairedHelloGrace.count()) +
            " ms after it or a ping unanswered for " +
            std::to_string(options.pingAnswerTimeout.count()) + " ms, or a body slower than " +
            std::to_string(options.minBodyBytesPerSecond) +
            " bytes/s), the longest waiting first, for new ones");
    std::lock_guard lock(slotsMutex);
    ++openConnections;
    ++openFrom[address];
    return ConnectionSlot(*this, address);
}

void Network::Impl::freeSlot(const asio::ip::address& address) {
    std::lock_guard lock(slotsMutex);
    --openConnections;
    const auto from = openFrom.find(address);
    if (from != openFrom.end() && --from->second == 0)
        openFrom.erase(from);
}

bool Network::Impl::evictOldestIdle(const asio::ip::address* address) {
    // Whether a connection is idle may take other locks (a WebSocket's asks the hub): it is
    // asked without waitingMutex held, and taken only if it still waits.
    std::vector<std::pair<std::uint64_t, std::weak_ptr<Evictable>>> candidates;
    {
        std::lock_guard lock(waitingMutex);
        for (const auto& [ticket, entry] : waiting) {
            if (!address || entry.address == *address)
                candidates.emplace_back(ticket, entry.connection);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [ticket, weak] : candidates) {
        const std::shared_ptr<Evictable> candidate = weak.lock();
        if (candidate && !candidate->idle(now))
            continue;
        if (!stopWaiting(ticket) || !candidate)
            continue;  // gone meanwhile
        candidate->evict();
        return true;
    }
    return false;
}

std::uint64_t Network::Impl::startWaiting(std::weak_ptr<Evictable> connection,
                                          const asio::ip::address& address) {
    std::lock_guard lock(waitingMutex);
    const std::uint64_t ticket = nextWaiting++;
    waiting.emplace(ticket, Waiting{std::move(connection), address});
    return ticket;
}

bool Network::Impl::stopWaiting(std::uint64_t ticket) {
    std::lock_guard lock(waitingMutex);
    return waiting.erase(ticket) != 0;
}

void Network::Impl::turnAway(tcp::socket& socket, bool fromAddress) {
    error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    const std::string peer = ec ? std::string("?") : endpointText(remote);
    socket.close(ec);
    std::size_t count = 0;
    if (!(fromAddress ? turnAwayFromAddressLine : turnAwayLine).due(count))
        return;
    std::string line =
        "connection from " + peer + " refused: " +
        (fromAddress
             ? std::to_string(options.maxConnectionsPerAddress) +
                   " connections from its address are open, the most allowed from one"
             : std::to_string(options.maxConnections) + " connections are open, the most allowed") +
        ", none of them idle";
    if (count > 1)
        line += " (" + std::to_string(count - 1) + " more refused since the last such line)";
    log.write(line);
}

bool Network::Impl::pauseIfOverBudget(std::shared_ptr<Paused> session, std::uint64_t number) {
    {
        std::lock_guard lock(pausedMutex);
        if (backlog.load() <= options.maxBacklogBytes)
            return false;
        paused.push_back(std::move(session));
    }
    watchForStallsSoon();
    if (std::size_t count = 0; pauseLine.due(count))
        log.write("backlog of " + std::to_string(backlog.load()) + " bytes for the clients, over " +
                  std::to_string(options.maxBacklogBytes) + ": stopped reading from ws#" +
                  std::to_string(number) +
                  (count > 1
                       ? " and " + std::to_string(count - 1) + " more since the last such line"
                       : std::string()) +
                  ", whose messages feed it, until it is down to half");
    return true;
}

void Network::Impl::releaseBacklog(std::size_t bytes) {
    const std::size_t before = backlog.fetch_sub(bytes);
    const std::size_t low = options.maxBacklogBytes / 2;
    if (before <= low || before - bytes > low)
        return;
    std::vector<std::shared_ptr<Paused>> waking;
    {
        std::lock_guard lock(pausedMutex);
        waking.swap(paused);
    }
    for (const auto& session : waking)
        session->resume();
    const std::size_t count = waking.size();
    waking.clear();  // without the lock: a session that goes runs releaseBacklog
    if (std::size_t lines = 0; count > 0 && resumeLine.due(lines))
        log.write("backlog down to " + std::to_string(backlog.load()) +
                  " bytes: reading again from " + std::to_string(count) +
                  (count == 1 ? " client" : " clients"));
}

void Network::Impl::watchForStallsSoon() {
    std::lock_guard lock(pausedMutex);
    if (stallWatchRunning || stallWatchEnded)
        return;
    stallWatchRunning = true;
    asio::post(stallWatch->get_executor(), [this] { watchForStalls(); });
}

void Network::Impl::watchForStalls() {
    {
        std::lock_guard lock(pausedMutex);
        if ((paused.empty() && heldFeeders.load() == 0) || stallWatchEnded) {
            stallWatchRunning = false;
            return;
        }
    }
    std::vector<std::shared_ptr<Closable>> open;
    {
        std::lock_guard lock(connectionsMutex);
        for (const auto& [key, weak] : connections) {
            if (auto connection = weak.lock())
                open.push_back(std::move(connection));
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (const auto& connection : open)
        connection->dropIfStalled(now);
    stallWatch->expires_after(std::clamp(options.stalledReaderTimeout / 4,
                                         std::chrono::milliseconds(10),
                                         std::chrono::milliseconds(100)));
    stallWatch->async_wait([this](error_code) { watchForStalls(); });
}

Network::Impl::~Impl() {
    dropPaused();
    listeners.clear();
}

void Network::Impl::dropPaused() {
    std::vector<std::shared_ptr<Paused>> dropped;
    std::lock_guard lock(pausedMutex);
    dropped.swap(paused);
    stallWatchEnded = true;
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
        --running;
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
    net.stallWatch.emplace(asio::make_strand(net.ioc));
    std::size_t threads = net.options.networkThreads;
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    net.running = threads;
    net.started = true;
    for (std::size_t i = 0; i < threads; ++i)
        net.threads.emplace_back([&net] { net.run(); });
    return true;
}

void Network::stop() {
    Impl& net = *impl_;
    if (!net.started || net.stopped)
        return;
    net.stopped = true;

    // No new connections: the listeners close on their strands, then every open connection is
    // ended.
    for (const auto& listener : net.listeners) {
        auto closed = std::make_shared<std::promise<void>>();
        listener->close([closed] { closed->set_value(); });
        closed->get_future().wait_for(std::chrono::seconds(2));
    }
    std::vector<std::shared_ptr<Closable>> open;
    {
        std::lock_guard lock(net.connectionsMutex);
        net.stopping = true;
        for (const auto& [key, weak] : net.connections) {
            if (auto connection = weak.lock())
                open.push_back(std::move(connection));
        }
    }
    net.dropPaused();
    asio::post(net.stallWatch->get_executor(), [&net] { net.stallWatch->cancel(); });
    for (const auto& connection : open)
        connection->shutdown();
    open.clear();
    net.work.reset();
    {
        std::unique_lock lock(net.runMutex);
        if (!net.runEnded.wait_for(lock, std::chrono::seconds(3), [&] { return net.running == 0; }))
            net.ioc.stop();  // something still waits on a timer; it need not finish
    }
    for (std::thread& thread : net.threads)
        thread.join();
    net.log.write("stopped");
}

Ports Network::ports() const {
    return impl_->bound;
}

}  // namespace brevant::backend

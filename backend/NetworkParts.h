#pragma once
// The network layer's own parts, shared by its files (Network.cpp, Listener.cpp,
// HttpSession.cpp, WsSession.cpp) and included by nothing else: Beast stays behind this header.
//
// The network threads (Options::networkThreads) share one io_context; each connection and each
// listener has a strand of its own, and other threads reach a connection only by posting to
// that strand. What the connections share is behind a mutex or atomic here.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/message.hpp>

#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/Network.h"
#include "backend/Routes.h"
#include "backend/Server.h"

namespace brevant::backend {
namespace sockets {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

inline constexpr const char* kServerName = "brevant-backend";

// What a queued message costs besides its bytes (its string, its place in the queue, the
// handler that carried it), so that the backlog counts memory rather than text alone.
inline constexpr std::size_t kQueuedMessageOverhead = 128;

// A request as the HTTP session reads it: the head whole, the body in pieces.
using Request = http::request<http::buffer_body>;

// A connection that stop() can end.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;
    // While readers wait for the backlog to drain: ends a WebSocket session whose write has not
    // gone through for Options::stalledReaderTimeout (a client that stopped reading).
    virtual void dropIfStalled(std::chrono::steady_clock::time_point) {}
};

// A connection that a new one may take the place of at the cap while it is idle: one that has
// not sent a whole request head yet, a WebSocket client that does not earn its seat (see
// Hub::idleReason), a request whose body trickles in.
class Evictable {
public:
    virtual ~Evictable() = default;
    // Whether it is idle now (called on any thread, with no lock of the network's held).
    virtual bool idle(std::chrono::steady_clock::time_point) const { return true; }
    // Closes the connection (on its own strand).
    virtual void evict() = 0;
};

// A WebSocket session that stopped reading while the backlog drains.
class Paused {
public:
    virtual ~Paused() = default;
    // Reads again (on its own strand).
    virtual void resume() = 0;
};

// A log line for something that may happen many times a second: written at most once a second,
// with the number of times it happened since the last one.
class RateLimitedLine {
public:
    // Counts one event; true (with `count`, this one included) when a line is due now.
    bool due(std::size_t& count);

private:
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_{};
    std::size_t quiet_ = 0;
};

// "1.2.3.4:80" or "[::1]:80".
std::string endpointText(const tcp::endpoint& endpoint);
// "WebSocket /ws, POST /rank-submit", for the log and for errors.
std::string rolesText(unsigned roles);

// The address a connection comes from, as the limits count it (an IPv4 address mapped into
// IPv6 counts as the IPv4 one).
asio::ip::address peerAddress(const tcp::endpoint& endpoint);

// A connection's place among Options::maxConnections and its address's
// Options::maxConnectionsPerAddress, held from its accept to its close (also across a WebSocket
// upgrade); given back by release() or when destroyed.
class ConnectionSlot {
public:
    ConnectionSlot(Network::Impl& net, asio::ip::address address)
        : net_(&net), address_(std::move(address)) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : net_(std::exchange(other.net_, nullptr)), address_(other.address_) {}
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() { release(); }
    void release();
    const asio::ip::address& address() const { return address_; }

private:
    Network::Impl* net_;
    asio::ip::address address_;
};

class Listener;

}  // namespace sockets

struct Network::Impl {
    Impl(const Options& o, LogBook& l, Hub& h, Routes& r) : options(o), log(l), hub(h), routes(r) {}
    ~Impl();

    const Options& options;
    LogBook& log;
    Hub& hub;
    Routes& routes;

    // Open connections, so that stop() can end them. Once stopping, no new one is admitted.
    std::mutex connectionsMutex;
    bool stopping = false;
    std::unordered_map<sockets::Closable*, std::weak_ptr<sockets::Closable>> connections;
    std::atomic<std::uint64_t> nextWsNumber{1};

    bool enlist(sockets::Closable* key, std::weak_ptr<sockets::Closable> connection);
    void delist(sockets::Closable* key);

    // Connections between accept and close, over every listener and from each address.
    std::mutex slotsMutex;
    std::size_t openConnections = 0;
    std::map<sockets::asio::ip::address, std::size_t> openFrom;
    // A slot for a new connection from `address`. At Options::maxConnectionsPerAddress it takes
    // the place of that address's oldest idle connection, else at Options::maxConnections that
    // of the oldest idle one (closing that one); nullopt when none is idle (`fromAddress`: the
    // address's limit was the one reached).
    std::optional<sockets::ConnectionSlot> admit(const sockets::asio::ip::address& address,
                                                 bool& fromAddress);
    void freeSlot(const sockets::asio::ip::address& address);
    // Closes a connection that found no slot, with a log line (at most one a second, counting
    // the ones not logged).
    void turnAway(sockets::tcp::socket& socket, bool fromAddress);
    sockets::RateLimitedLine turnAwayLine;
    sockets::RateLimitedLine turnAwayFromAddressLine;
    sockets::RateLimitedLine evictionLine;

    // Connections that may be idle, by the order they began to wait: one enters when it starts
    // reading a head or a body, or opens a WebSocket, and leaves when the head or the body is
    // read or the WebSocket ends (false: it was evicted meanwhile and is closing).
    struct Waiting {
        std::weak_ptr<sockets::Evictable> connection;
        sockets::asio::ip::address address;
    };
    std::mutex waitingMutex;
    std::map<std::uint64_t, Waiting> waiting;
    std::uint64_t nextWaiting = 1;
    std::uint64_t startWaiting(std::weak_ptr<sockets::Evictable> connection,
                               const sockets::asio::ip::address& address);
    bool stopWaiting(std::uint64_t ticket);
    // Takes the oldest idle connection (of `address` only, when given) out of the waiting ones
    // and closes it; false when none is idle.
    bool evictOldestIdle(const sockets::asio::ip::address* address);

    // Bytes queued for WebSocket clients over all sessions (each message counted with
    // kQueuedMessageOverhead), and the sessions that stopped reading because they fed it past
    // Options::maxBacklogBytes; they read again once it is down to half of that.
    std::atomic<std::size_t> backlog{0};
    // Sessions not read until a client they relay to has caught up (see WsSession.cpp).
    std::atomic<std::size_t> heldFeeders{0};
    // Starts the stall watch unless it runs.
    void watchForStallsSoon();
    void addBacklog(std::size_t bytes) { backlog.fetch_add(bytes); }
    void releaseBacklog(std::size_t bytes);
    // Whether the session should stop reading now (then it is resumed later).
    bool pauseIfOverBudget(std::shared_ptr<sockets::Paused> session, std::uint64_t number);
    std::mutex pausedMutex;
    // Held here while paused: a session lives as long as something refers to it, and a paused
    // one has no operation under way.
    std::vector<std::shared_ptr<sockets::Paused>> paused;
    // Lets the paused sessions go (at stop) and ends the stall watch.
    void dropPaused();
    sockets::RateLimitedLine pauseLine;
    sockets::RateLimitedLine resumeLine;
    sockets::RateLimitedLine holdLine;
    // While readers are paused, a timer (stallWatch, below) drops clients that stopped reading
    // (Closable's dropIfStalled), so that a backlog held by them cannot keep everyone waiting.
    bool stallWatchRunning = false;  // pausedMutex
    bool stallWatchEnded = false;    // pausedMutex; set by stop()
    void watchForStalls();

    Ports bound;
    bool started = false;
    bool stopped = false;
    std::mutex runMutex;
    std::condition_variable runEnded;
    std::size_t running = 0;  // network threads still in run()

    // Destroyed before the members above: pending handlers (and the connections they own) go
    // with the context.
    sockets::asio::io_context ioc;
    std::optional<sockets::asio::executor_work_guard<sockets::asio::io_context::executor_type>>
        work;
    std::vector<std::unique_ptr<sockets::Listener>> listeners;
    std::optional<sockets::asio::steady_timer> stallWatch;
    std::vector<std::thread> threads;

    void run();
};

namespace sockets {

// One listening socket serving some roles; every accepted connection goes to serveHttp.
class Listener {
public:
    Listener(Network::Impl& net, unsigned roles)
        : net_(net),
          roles_(roles),
          strand_(asio::make_strand(net.ioc)),
          acceptor_(strand_),
          retry_(strand_) {}

    // Opens, binds and listens; on failure `error` names the port, the reason and the fix.
    bool open(const tcp::endpoint& endpoint, std::string& error);
    unsigned roles() const { return roles_; }
    std::uint16_t port() const { return port_; }
    void accept();
    // Closes the acceptor on its strand; `done` runs there afterwards.
    void close(std::function<void()> done);

private:
    void onAccept(error_code ec, tcp::socket socket);

    Network::Impl& net_;
    const unsigned roles_;
    asio::strand<asio::io_context::executor_type> strand_;
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::uint16_t port_ = 0;
};

// The parts of a request head that the routes look at (HttpSession.cpp).
HttpHead headOf(const Request& request);

// Reads HTTP requests from an accepted connection and answers them (HttpSession.cpp).
void serveHttp(Network::Impl& net, unsigned roles, tcp::socket socket, ConnectionSlot slot);

// Takes over a connection whose WebSocket upgrade request has been read (WsSession.cpp).
void serveWebSocket(Network::Impl& net, beast::tcp_stream&& stream, std::string peer,
                    const Request& upgrade, ConnectionSlot slot);

}  // namespace sockets
}  // namespace brevant::backend

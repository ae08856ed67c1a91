#pragma once
// The network layer's own parts, shared by its files (Network.cpp, Listener.cpp,
// HttpSession.cpp, WsSession.cpp) and included by nothing else: Beast stays behind this header.
//
// Everything runs on the one network thread; each connection has a strand of its own (so that
// a second network thread would also be safe), and other threads reach a connection only by
// posting to that strand.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
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

// A request as the HTTP session reads it: the head whole, the body in pieces.
using Request = http::request<http::buffer_body>;

// A connection that stop() can end.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;
};

// "1.2.3.4:80" or "[::1]:80".
std::string endpointText(const tcp::endpoint& endpoint);
// "WebSocket /ws, POST /rank-submit", for the log and for errors.
std::string rolesText(unsigned roles);

// A connection's place among Options::maxConnections, held from its accept to its close (also
// across a WebSocket upgrade); given back by release() or when destroyed.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::atomic<std::size_t>& open) : open_(&open) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept : open_(other.open_) { other.open_ = nullptr; }
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() { release(); }
    void release() {
        if (open_)
            open_->fetch_sub(1);
        open_ = nullptr;
    }

private:
    std::atomic<std::size_t>* open_;
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

    // Connections between accept and close, over every listener.
    std::atomic<std::size_t> openConnections{0};
    // A slot for a new connection, unless Options::maxConnections are open.
    std::optional<sockets::ConnectionSlot> admit();
    // Closes a connection that found no slot, with a log line (at most one a second, counting
    // the ones not logged). Network thread only.
    void turnAway(sockets::tcp::socket& socket);
    std::chrono::steady_clock::time_point lastTurnAwayLine{};
    std::size_t turnedAwayQuietly = 0;

    Ports bound;
    bool started = false;
    bool stopped = false;
    std::mutex runMutex;
    std::condition_variable runEnded;
    bool running = false;

    // Destroyed before the members above: pending handlers (and the connections they own) go
    // with the context.
    sockets::asio::io_context ioc{1};
    std::optional<sockets::asio::executor_work_guard<sockets::asio::io_context::executor_type>>
        work;
    std::vector<std::unique_ptr<sockets::Listener>> listeners;
    std::thread thread;

    void run();
};

namespace sockets {

// One listening socket serving some roles; every accepted connection goes to serveHttp.
class Listener {
public:
    Listener(Network::Impl& net, unsigned roles)
        : net_(net), roles_(roles), acceptor_(net.ioc), retry_(net.ioc) {}

    // Opens, binds and listens; on failure `error` names the port, the reason and the fix.
    bool open(const tcp::endpoint& endpoint, std::string& error);
    unsigned roles() const { return roles_; }
    std::uint16_t port() const { return port_; }
    void accept();
    void close();

private:
    void onAccept(error_code ec, tcp::socket socket);

    Network::Impl& net_;
    const unsigned roles_;
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::uint16_t port_ = 0;
};

// Reads HTTP requests from an accepted connection and answers them (HttpSession.cpp).
void serveHttp(Network::Impl& net, unsigned roles, tcp::socket socket, ConnectionSlot slot);

// Takes over a connection whose WebSocket upgrade request has been read (WsSession.cpp).
void serveWebSocket(Network::Impl& net, beast::tcp_stream&& stream, std::string peer,
                    const Request& upgrade, ConnectionSlot slot);

}  // namespace sockets
}  // namespace brevant::backend

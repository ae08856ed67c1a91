// Sockets with Beast. Everything runs on the one network thread; each connection has a strand
// of its own (so that a second network thread would also be safe), and other threads reach a
// connection only by posting to that strand.
#include "backend/Network.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "backend/Text.h"

namespace brevant::backend {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr const char* kServerName = "brevant-backend";
constexpr const char* kPing = R"({"t":"ping"})";
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxQueuedBytes = 64 * 1024 * 1024;  // per WebSocket client
constexpr std::size_t kMaxDrainBytes = 1024 * 1024;
constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr auto kLingerTimeout = std::chrono::seconds(2);

// A connection that stop() can end.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;
};

std::string endpointText(const tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

bool isLoopback(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
    return address.is_loopback();
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

class Listener;

}  // namespace

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
    std::unordered_map<Closable*, std::weak_ptr<Closable>> connections;
    std::atomic<std::uint64_t> nextWsNumber{1};

    bool enlist(Closable* key, std::weak_ptr<Closable> connection) {
        std::lock_guard lock(connectionsMutex);
        if (stopping)
            return false;
        connections[key] = std::move(connection);
        return true;
    }
    void delist(Closable* key) {
        std::lock_guard lock(connectionsMutex);
        connections.erase(key);
    }

    Ports bound;
    bool started = false;
    bool stopped = false;
    std::mutex runMutex;
    std::condition_variable runEnded;
    bool running = false;

    // Destroyed before the members above: pending handlers (and the connections they own) go
    // with the context.
    asio::io_context ioc{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::thread thread;

    void run();
};

namespace {

// --- WebSocket session ---

class WsSession final : public Closable,
                        public Peer,
                        public std::enable_shared_from_this<WsSession> {
public:
    WsSession(Network::Impl& net, beast::tcp_stream&& stream, std::string peer)
        : net_(net),
          ws_(std::move(stream)),
          peer_(std::move(peer)),
          number_(net.nextWsNumber++),
          pingTimer_(ws_.get_executor()) {}

    ~WsSession() override { net_.delist(this); }

    void accept(const http::request<http::string_body>& request) {
        if (!net_.enlist(this, weak_from_this())) {
            error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
            return;
        }
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, kServerName);
        }));
        // No limit of Beast's own: a message over our limit is read to its end and dropped,
        // and the session goes on.
        ws_.read_message_max(0);
        ws_.async_accept(request,
                         [self = shared_from_this()](error_code ec) { self->onAccept(ec); });
    }

    void sendText(std::string text) override {
        asio::post(ws_.get_executor(),
                   [self = shared_from_this(), text = std::move(text)]() mutable {
                       self->enqueue(std::move(text));
                   });
    }

    void shutdown() override {
        asio::post(ws_.get_executor(),
                   [self = shared_from_this()] { self->finish("the backend is stopping"); });
    }

private:
    void onAccept(error_code ec) {
        if (ec) {
            net_.log.write("ws " + peer_ + " handshake failed: " + ec.message());
            finish({});
            return;
        }
        open_ = true;
        net_.hub.connected(number_, std::weak_ptr<Peer>(shared_from_this()), peer_);
        schedulePing();
        readMore();
    }

    void readMore() {
        ws_.async_read_some(
            readBuffer_, kReadChunk,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(error_code ec) {
        if (ec) {
            if (ec == websocket::error::closed)
                finish("closed by the client (code " + std::to_string(ws_.reason().code) + ")");
            else
                finish(ec.message());
            return;
        }
        const auto data = readBuffer_.data();
        messageBytes_ += data.size();
        if (!oversized_ && messageBytes_ > net_.options.maxWsMessageBytes) {
            oversized_ = true;
            std::string().swap(message_);
        }
        if (!oversized_)
            message_.append(static_cast<const char*>(data.data()), data.size());
        readBuffer_.consume(data.size());

        if (ws_.is_message_done()) {
            if (oversized_)
                net_.hub.dropped(number_, "message of " + std::to_string(messageBytes_) +
                                              " bytes, over the limit of " +
                                              std::to_string(net_.options.maxWsMessageBytes));
            else if (!ws_.got_text())
                net_.hub.dropped(number_,
                                 "binary message (" + std::to_string(messageBytes_) + " bytes)");
            else
                net_.hub.received(number_, message_);
            message_.clear();
            oversized_ = false;
            messageBytes_ = 0;
        }
        readMore();
    }

    void enqueue(std::string text) {
        if (finished_ || !open_)
            return;
        if (queuedBytes_ + text.size() > kMaxQueuedBytes) {
            net_.log.write("ws#" + std::to_string(number_) +
                           " is not reading: send queue full, message dropped");
            return;
        }
        queuedBytes_ += text.size();
        queue_.push_back(std::move(text));
        if (!writing_)
            writeNext();
    }

    void writeNext() {
        writing_ = true;
        ws_.text(true);
        ws_.async_write(
            asio::buffer(queue_.front()),
            [self = shared_from_this()](error_code ec, std::size_t) { self->onWritten(ec); });
    }

    void onWritten(error_code ec) {
        writing_ = false;
        queuedBytes_ -= queue_.front().size();
        queue_.pop_front();
        if (ec || finished_) {
            queue_.clear();
            queuedBytes_ = 0;
            if (ec)
                finish("write failed: " + ec.message());
            return;
        }
        if (!queue_.empty())
            writeNext();
    }

    void schedulePing() {
        if (net_.options.pingPeriod.count() <= 0)
            return;
        pingTimer_.expires_after(net_.options.pingPeriod);
        pingTimer_.async_wait([self = shared_from_this()](error_code ec) {
            if (ec || self->finished_)
                return;
            self->net_.hub.sendToConnection(self->number_, kPing);
            self->schedulePing();
        });
    }

    // Ends the session once; `reason` empty when the hub never knew it.
    void finish(const std::string& reason) {
        if (finished_)
            return;
        finished_ = true;
        pingTimer_.cancel();
        if (open_)
            net_.hub.disconnected(number_, reason);
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    Network::Impl& net_;
    websocket::stream<beast::tcp_stream> ws_;
    const std::string peer_;
    const std::uint64_t number_;
    asio::steady_timer pingTimer_;
    beast::flat_buffer readBuffer_;
    std::string message_;
    std::size_t messageBytes_ = 0;
    bool oversized_ = false;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool open_ = false;
    bool finished_ = false;
};

// --- HTTP connection ---

class HttpSession final : public Closable, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Network::Impl& net, unsigned roles, tcp::socket socket)
        : net_(net), roles_(roles), stream_(std::move(socket)), executor_(stream_.get_executor()) {}

    ~HttpSession() override { net_.delist(this); }

    void start() {
        error_code ec;
        const tcp::endpoint remote = stream_.socket().remote_endpoint(ec);
        peer_ = ec ? std::string("?") : endpointText(remote);
        loopback_ = !ec && isLoopback(remote.address());
        if (!net_.enlist(this, weak_from_this())) {
            stream_.socket().close(ec);
            return;
        }
        asio::dispatch(executor_, [self = shared_from_this()] { self->readHead(); });
    }

    void shutdown() override {
        asio::post(executor_, [self = shared_from_this()] {
            if (!self->upgraded_)
                self->closeNow();
        });
    }

private:
    void readHead() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(net_.routes.bodyLimit(roles_));
        version_ = 11;
        stream_.expires_after(net_.options.httpReadTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onHead(ec); });
    }

    void onHead(error_code ec) {
        if (ec)
            return onReadError(ec);
        const auto& request = parser_->get();
        version_ = request.version();
        keepAlive_ = request.keep_alive();
        head_ = HttpHead{};
        head_.method = std::string(request.method_string());
        head_.target = std::string(request.target());
        head_.contentType = std::string(request[http::field::content_type]);
        if (const auto it = request.find("x-api-key"); it != request.end())
            head_.apiKey = std::string(it->value());
        if (const auto it = request.find("x-client"); it != request.end())
            head_.client = std::string(it->value());
        if (request.count(http::field::host) == 1)
            head_.host = std::string(request[http::field::host]);
        for (auto [it, end] = request.equal_range(http::field::origin); it != end; ++it)
            head_.origin =
                (head_.origin ? *head_.origin + ", " : std::string()) + std::string(it->value());
        if (const auto it =
                request.find(beast::string_view(kAdminHeader.data(), kAdminHeader.size()));
            it != request.end())
            head_.admin = std::string(it->value());
        if (const auto length = parser_->content_length())
            head_.contentLength = *length;
        head_.upgrade = websocket::is_upgrade(request);
        head_.fromLoopback = loopback_;
        head_.peer = peer_;

        routing_ = net_.routes.route(roles_, head_);
        if (routing_.refusal)
            return reply(std::move(*routing_.refusal), !parser_->is_done() || !keepAlive_);
        if (routing_.endpoint == Endpoint::WebSocket)
            return upgrade();
        parser_->body_limit(routing_.bodyLimit);
        if (parser_->is_done())
            return onBody({});
        if (equalsNoCase(std::string(request[http::field::expect]), "100-continue")) {
            continue_ = {};
            continue_.result(http::status::continue_);
            continue_.version(11);
            http::async_write(stream_, continue_,
                              [self = shared_from_this()](error_code ec2, std::size_t) {
                                  if (ec2)
                                      return self->closeNow();
                                  self->readBody();
                              });
            return;
        }
        readBody();
    }

    void readBody() {
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onBody(ec); });
    }

    void onBody(error_code ec) {
        if (ec)
            return onReadError(ec);
        HttpReply answer = net_.routes.answer(routing_.endpoint, head_, parser_->get().body());
        parser_.reset();  // an upload's body can be large; it is not needed any more
        reply(std::move(answer), !keepAlive_);
    }

    void onReadError(error_code ec) {
        if (ec == http::error::end_of_stream || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset || ec == asio::error::eof)
            return closeNow();
        if (ec == beast::error::timeout) {
            net_.log.write("http " + peer_ + " timed out while sending a request");
            return closeNow();
        }
        if (ec == http::error::partial_message) {
            net_.log.write("http " + peer_ + " closed the connection inside a request");
            return closeNow();
        }
        if (ec == http::error::body_limit) {
            const std::size_t limit = routing_.endpoint == Endpoint::None
                                          ? net_.routes.bodyLimit(roles_)
                                          : routing_.bodyLimit;
            return reply(
                net_.routes.unreadable(
                    peer_, 413, "request body larger than " + std::to_string(limit) + " bytes"),
                true);
        }
        if (ec == http::error::header_limit)
            return reply(net_.routes.unreadable(peer_, 431, "request header too large"), true);
        if (ec.category() == http::make_error_code(http::error::bad_version).category())
            return reply(
                net_.routes.unreadable(peer_, 400, "malformed HTTP request: " + ec.message()),
                true);
        net_.log.write("http " + peer_ + " read failed: " + ec.message());
        closeNow();
    }

    void upgrade() {
        upgraded_ = true;
        net_.delist(this);
        stream_.expires_never();
        auto session = std::make_shared<WsSession>(net_, std::move(stream_), peer_);
        session->accept(parser_->get());
    }

    void reply(HttpReply answer, bool closeAfter) {
        response_ = {};
        response_.result(answer.status);
        response_.version(version_ == 10 ? 10 : 11);
        response_.set(http::field::server, kServerName);
        if (!answer.contentType.empty())
            response_.set(http::field::content_type, answer.contentType);
        if (!answer.allow.empty())
            response_.set(http::field::allow, answer.allow);
        response_.body() = std::move(answer.body);
        response_.keep_alive(!closeAfter);
        response_.prepare_payload();
        closeAfter_ = closeAfter;
        stream_.expires_after(kWriteTimeout);
        http::async_write(
            stream_, response_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onWritten(ec); });
    }

    void onWritten(error_code ec) {
        if (ec)
            return closeNow();
        if (closeAfter_)
            return linger();
        readHead();
    }

    // Closes after the answer without resetting the connection under a client that is still
    // sending: our side is shut, and what still arrives is read and thrown away for a moment.
    void linger() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kLingerTimeout);
        drainNext();
    }

    void drainNext() {
        stream_.async_read_some(asio::buffer(drain_),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->drained_ += n;
                                    if (ec || self->drained_ > kMaxDrainBytes)
                                        return self->closeNow();
                                    self->drainNext();
                                });
    }

    void closeNow() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

    Network::Impl& net_;
    const unsigned roles_;
    beast::tcp_stream stream_;
    const asio::any_io_executor executor_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpHead head_;
    Routing routing_;
    unsigned version_ = 11;
    bool keepAlive_ = false;
    bool closeAfter_ = false;
    bool upgraded_ = false;
    std::string peer_;
    bool loopback_ = false;
    http::response<http::string_body> response_;
    http::response<http::empty_body> continue_;
    std::array<char, 16 * 1024> drain_{};
    std::size_t drained_ = 0;
};

// --- Listener ---

class Listener {
public:
    Listener(Network::Impl& net, unsigned roles)
        : net_(net), roles_(roles), acceptor_(net.ioc), retry_(net.ioc) {}

    bool open(const tcp::endpoint& endpoint, std::string& error) {
        error_code ec;
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec)
            acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec)
            acceptor_.bind(endpoint, ec);
        if (!ec)
            acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) {
            port_ = acceptor_.local_endpoint(ec).port();
            if (!ec)
                return true;
        }
        error = "cannot listen on " + endpointText(endpoint) + " (" + rolesText(roles_) +
                "): " + ec.message() + ". ";
        if (ec == asio::error::access_denied && endpoint.port() < 1024)
            error += "Ports below 1024 need root: run as root, or choose a port above 1023.";
        else if (ec == asio::error::address_in_use)
            error += "Another program holds this port: stop it, or choose a free port.";
        else
            error += "Choose a free port and an address of this machine.";
        return false;
    }

    unsigned roles() const { return roles_; }
    std::uint16_t port() const { return port_; }

    void accept() {
        acceptor_.async_accept(
            asio::make_strand(net_.ioc),
            [this](error_code ec, tcp::socket socket) { onAccept(ec, std::move(socket)); });
    }

    void close() {
        error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    }

private:
    void onAccept(error_code ec, tcp::socket socket) {
        if (!acceptor_.is_open())
            return;
        if (ec) {
            // Such as running out of descriptors: try again a little later.
            net_.log.write("accept failed on port " + std::to_string(port_) + ": " + ec.message());
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](error_code e) {
                if (!e)
                    accept();
            });
            return;
        }
        std::make_shared<HttpSession>(net_, roles_, std::move(socket))->start();
        accept();
    }

    Network::Impl& net_;
    const unsigned roles_;
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::uint16_t port_ = 0;
};

}  // namespace

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

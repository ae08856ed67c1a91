#include "tests/backend/BackendTestSupport.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "platform/HttpTransport.h"

namespace backend_test {

WsClient::WsClient(std::uint16_t port) {
    platform::WebSocketOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.path = "/ws";
    options.userAgent = "BackendTest/1.0";
    options.closeTimeout = std::chrono::milliseconds(1000);
    options.maxMessageBytes = 8 * 1024 * 1024;
    platform::WebSocketConnectFailure failure{};
    connection_ = platform::WebSocketConnection::connect(options, failure);
    if (!connection_)
        return;
    reader_ = std::thread([this] {
        for (;;) {
            platform::WebSocketReadResult result = connection_->read();
            std::lock_guard lock(mutex_);
            if (result.kind == platform::WebSocketReadResult::Kind::Text) {
                messages_.push_back(std::move(result.data));
            } else if (result.kind == platform::WebSocketReadResult::Kind::Closed ||
                       result.kind == platform::WebSocketReadResult::Kind::Failed) {
                closed_ = true;
                changed_.notify_all();
                return;
            }
            changed_.notify_all();
        }
    });
}

WsClient::~WsClient() {
    if (!connection_)
        return;
    connection_->close();
    reader_.join();
}

void WsClient::send(const std::string& text) {
    if (connection_)
        connection_->sendText(text);
}

void WsClient::hello(const std::string& deviceId, const std::string& platform) {
    send(Json{{"t", "hello"},
              {"deviceId", deviceId},
              {"platform", platform},
              {"version", "0.0.2"},
              {"epicId", ""},
              {"steamId", "76561198000000001"}}
             .dump());
}

std::vector<std::string> WsClient::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::size_t WsClient::count() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
}

std::optional<std::size_t> WsClient::waitFor(const std::function<bool(const std::string&)>& match,
                                             std::size_t from) const {
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, kWait, [&] {
        for (std::size_t i = from; i < messages_.size(); ++i) {
            if (match(messages_[i])) {
                found = i;
                return true;
            }
        }
        return closed_;
    });
    return found;
}

std::optional<std::size_t> WsClient::waitForType(const std::string& type, std::size_t from) const {
    return waitFor([&](const std::string& m) { return typeOf(m) == type; }, from);
}

bool WsClient::waitClosed() const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return closed_; });
}

namespace {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

// Sets the socket's receive and send time limits, so that a blocking handshake or write gives up
// after `timeout`.
template <class Handle>
void setTimeouts(Handle socket, std::chrono::milliseconds timeout) {
#ifdef _WIN32
    const DWORD ms = static_cast<DWORD>(timeout.count());
    const char* value = reinterpret_cast<const char*>(&ms);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, value, sizeof ms);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, value, sizeof ms);
#else
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#endif
}

// A TCP connection to the loopback whose every wait ends by a deadline: Asio's blocking calls
// would wait on, so each one is an asynchronous call run until it completes or time is up.
class LoopbackStream {
public:
    explicit LoopbackStream(std::uint16_t port, const char* from = "127.0.0.1") {
        error_code ec;
        socket_.open(tcp::v4(), ec);
        if (!ec)
            socket_.bind({asio::ip::make_address_v4(from), 0}, ec);
        if (!ec)
            socket_.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
        connected_ = !ec;
    }
    bool connected() const { return connected_; }

    bool writeAll(std::string_view bytes, Clock::time_point deadline) {
        const auto result = run(deadline, [&](auto done) {
            asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), done);
        });
        return result && !*result;
    }
    // Appends what arrives next to `into`. False once the peer closed, the connection failed or
    // the deadline passed; `closed` tells the first two from the last.
    bool readSome(std::string& into, Clock::time_point deadline, bool* closed = nullptr) {
        char buffer[4096];
        std::size_t got = 0;
        const auto result = run(deadline, [&](auto done) {
            socket_.async_read_some(asio::buffer(buffer),
                                    [&got, done](error_code ec, std::size_t n) {
                                        got = n;
                                        done(ec, n);
                                    });
        });
        if (closed)
            *closed =
                result && (*result == asio::error::eof || *result == asio::error::connection_reset);
        into.append(buffer, got);
        return result && !*result;
    }

private:
    // Starts one operation and runs it until it completes (its error) or the deadline passes
    // (nothing: the operation is cancelled and waited for).
    template <class Start>
    std::optional<error_code> run(Clock::time_point deadline, Start start) {
        std::optional<error_code> result;
        start([&result](error_code ec, std::size_t) { result = ec; });
        ioc_.restart();
        ioc_.run_until(deadline);
        if (!result) {
            error_code ignored;
            socket_.cancel(ignored);
            ioc_.restart();
            ioc_.run();
            return std::nullopt;
        }
        return result;
    }

    asio::io_context ioc_;
    tcp::socket socket_{ioc_};
    bool connected_ = false;
};

}  // namespace

struct BareWsClient::Impl {
    asio::io_context ioc;
    websocket::stream<asio::ip::tcp::socket> ws{ioc};
    bool connected = false;
};

BareWsClient::BareWsClient(std::uint16_t port, int receiveBuffer, const char* from)
    : impl_(std::make_unique<Impl>()) {
    boost::system::error_code ec;
    auto& socket = impl_->ws.next_layer();
    socket.open(asio::ip::tcp::v4(), ec);
    if (!ec)
        socket.bind({asio::ip::make_address_v4(from), 0}, ec);
    if (!ec && receiveBuffer > 0)
        socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer), ec);
    if (!ec)
        setTimeouts(socket.native_handle(), kWait);
    if (!ec)
        socket.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    if (!ec)
        impl_->ws.handshake("127.0.0.1", "/ws", ec);
    impl_->connected = !ec;
}

BareWsClient::~BareWsClient() {
    boost::system::error_code ignored;
    impl_->ws.next_layer().close(ignored);
}

bool BareWsClient::connected() const {
    return impl_->connected;
}

void BareWsClient::send(const std::string& text) {
    boost::system::error_code ignored;
    impl_->ws.text(true);
    impl_->ws.write(asio::buffer(text), ignored);
}

void BareWsClient::hello(const std::string& deviceId) {
    send(Json{{"t", "hello"}, {"deviceId", deviceId}, {"platform", "steam"}, {"version", "0.0.2"}}
             .dump());
}

std::optional<unsigned> BareWsClient::closeCode() {
    // Asynchronous reads, so that the wait is bounded (Asio's blocking reads wait on).
    boost::beast::flat_buffer buffer;
    std::optional<boost::system::error_code> ended;
    std::function<void()> readNext = [&] {
        impl_->ws.async_read(buffer, [&](boost::system::error_code ec, std::size_t) {
            buffer.clear();
            if (ec)
                ended = ec;
            else
                readNext();
        });
    };
    readNext();
    impl_->ioc.restart();
    impl_->ioc.run_for(kWait);
    if (!ended) {
        boost::system::error_code ignored;
        impl_->ws.next_layer().close(ignored);
        impl_->ioc.restart();
        impl_->ioc.run();
        return std::nullopt;
    }
    if (*ended != websocket::error::closed)
        return std::nullopt;
    return impl_->ws.reason().code;
}

bool BareWsClient::readUntil(const std::function<bool(const std::string&)>& match) {
    boost::beast::flat_buffer buffer;
    bool found = false;
    bool ended = false;
    std::function<void()> readNext = [&] {
        impl_->ws.async_read(buffer, [&](boost::system::error_code ec, std::size_t) {
            found = !ec && match(boost::beast::buffers_to_string(buffer.data()));
            buffer.clear();
            ended = ec.failed();
            if (!found && !ended)
                readNext();
        });
    };
    readNext();
    impl_->ioc.restart();
    const auto deadline = Clock::now() + kWait;
    while (!found && !ended && Clock::now() < deadline)
        impl_->ioc.run_one_until(deadline);
    if (!found && !ended) {
        boost::system::error_code ignored;
        impl_->ws.next_layer().close(ignored);
        impl_->ioc.restart();
        impl_->ioc.run();
    }
    return found;
}

struct TcpClient::Impl {
    Impl(std::uint16_t port, const char* from) : stream(port, from) {}
    LoopbackStream stream;
};

TcpClient::TcpClient(std::uint16_t port, const char* from)
    : impl_(std::make_unique<Impl>(port, from)) {
    connected_ = impl_->stream.connected();
}

TcpClient::~TcpClient() = default;

bool TcpClient::send(std::string_view bytes) {
    return impl_->stream.writeAll(bytes, Clock::now() + kWait);
}

bool TcpClient::closedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    bool closed = false;
    while (impl_->stream.readSome(received_, deadline, &closed)) {
    }
    return closed;
}

std::string TcpClient::readUntil(const std::function<bool(const std::string&)>& enough) {
    const auto deadline = Clock::now() + kWait;
    while (!enough(received_) && impl_->stream.readSome(received_, deadline)) {
    }
    return received_;
}

std::string typeOf(const std::string& text) {
    const Json j = Json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("t") || !j["t"].is_string())
        return {};
    return j["t"].get<std::string>();
}

namespace {

HttpAnswer exchange(platform::HttpRequest request) {
    platform::HttpResponse response;
    platform::HttpTimeouts timeouts;
    timeouts.connect = timeouts.send = timeouts.receive = kWait;
    HttpAnswer answer;
    answer.answered = platform::httpExchange(request, response, timeouts, 16 * 1024 * 1024);
    answer.status = response.status;
    answer.body = response.body;
    return answer;
}

platform::HttpRequest request(const char* method, std::uint16_t port, const std::string& target) {
    platform::HttpRequest r;
    r.method = method;
    r.host = "127.0.0.1";
    r.port = port;
    r.target = target;
    r.userAgent = "BackendTest/1.0";
    return r;
}

}  // namespace

HttpAnswer httpGet(std::uint16_t port, const std::string& target) {
    return exchange(request("GET", port, target));
}

HttpAnswer httpPost(std::uint16_t port, const std::string& target, const std::string& body,
                    const std::string& extraHeaders) {
    platform::HttpRequest r = request("POST", port, target);
    r.body = body;
    r.extraHeaders = extraHeaders;
    return exchange(std::move(r));
}

HttpAnswer adminPost(std::uint16_t port, const std::string& command) {
    return httpPost(port, "/admin", command, "X-Brevant-Admin: 1\r\n");
}

namespace {

// Sends `bytes` and reads until `enough` says so, the server closes, or kWait passes.
std::string rawRead(std::uint16_t port, const std::string& bytes,
                    const std::function<bool(const std::string&)>& enough) {
    const auto deadline = Clock::now() + kWait;
    LoopbackStream stream(port);
    std::string received;
    if (stream.connected() && stream.writeAll(bytes, deadline)) {
        while (!enough(received) && stream.readSome(received, deadline)) {
        }
    }
    return received;
}

}  // namespace

std::string rawExchange(std::uint16_t port, const std::string& bytes) {
    return rawRead(port, bytes, [](const std::string&) { return false; });
}

std::string rawResponseHead(std::uint16_t port, const std::string& bytes) {
    return rawRead(port, bytes, [](const std::string& received) {
        return received.find("\r\n\r\n") != std::string::npos;
    });
}

BackendTest::BackendTest() {
    options_.wsPort = options_.pairPort = options_.rankPort = options_.uploadPort = 0;
    options_.uploadDir = dir_.path() / "uploads";
    options_.pingPeriod = std::chrono::milliseconds(0);
}

bool BackendTest::start() {
    server_ = std::make_unique<brevant::backend::Server>(options_);
    std::string error;
    if (!server_->start(&error)) {
        ADD_FAILURE() << "the backend did not start: " << error;
        return false;
    }
    ports_ = server_->ports();
    return true;
}

}  // namespace backend_test

#include "tests/backend/BackendTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
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

// Sets SO_RCVTIMEO and SO_SNDTIMEO, so that a blocking call gives up after `timeout`.
void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

struct BareWsClient::Impl {
    asio::io_context ioc;
    websocket::stream<asio::ip::tcp::socket> ws{ioc};
    bool connected = false;
};

BareWsClient::BareWsClient(std::uint16_t port, int receiveBuffer)
    : impl_(std::make_unique<Impl>()) {
    boost::system::error_code ec;
    auto& socket = impl_->ws.next_layer();
    socket.open(asio::ip::tcp::v4(), ec);
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

TcpClient::TcpClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    setTimeouts(fd_, kWait);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

TcpClient::~TcpClient() {
    ::close(fd_);
}

bool TcpClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool TcpClient::closedWithin(std::chrono::milliseconds timeout) {
    setTimeouts(fd_, timeout);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0)
        received_.append(buffer, static_cast<std::size_t>(n));
    const bool closed = n == 0 || errno == ECONNRESET;
    setTimeouts(fd_, kWait);
    return closed;
}

std::string TcpClient::readUntil(const std::function<bool(const std::string&)>& enough) {
    char buffer[4096];
    for (ssize_t n; !enough(received_) && (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
        received_.append(buffer, static_cast<std::size_t>(n));
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
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{};
    timeout.tv_sec = kWait.count() / 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(bytes.size())) {
        char buffer[4096];
        for (ssize_t n; !enough(received) && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
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

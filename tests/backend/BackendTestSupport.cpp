#include "tests/backend/BackendTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

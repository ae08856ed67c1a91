#include "tests/support/WsTestServer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket.hpp>

namespace testing_support {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using boost::system::error_code;

enum class Handshake { Accept, AcceptDeaf, Raw, Stall, HangUp };

struct Outgoing {
    enum class Kind { Text, Fragmented, Binary, Ping, Close };
    Kind kind = Kind::Text;
    std::string data;
    std::size_t frameBytes = 0;
    int code = 1000;
};

}  // namespace

struct WsTestServer::Impl {
    class Session;

    // Records and script, shared with the test thread.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Handshake handshake = Handshake::Accept;
    std::string rawAnswer;
    std::size_t connections = 0;
    std::size_t ended = 0;
    std::size_t binaries = 0;
    std::size_t pongs = 0;
    std::vector<Request> requests;
    std::vector<std::string> messages;
    std::vector<int> closeCodes;

    template <class Change>
    void record(Change change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    template <class Ready>
    bool waitFor(Timeout timeout, Ready ready) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, ready);
    }

    // Server thread only from here on.
    asio::io_context ioc;
    tcp::acceptor acceptor{ioc};
    std::uint16_t port = 0;
    std::vector<std::shared_ptr<Session>> sessions;
    std::thread thread;

    void acceptNext();
    void toNewest(Outgoing out);
};

class WsTestServer::Impl::Session : public std::enable_shared_from_this<Session> {
public:
    Session(Impl& server, tcp::socket socket, Handshake mode, std::string raw)
        : server_(server), ws_(std::move(socket)), mode_(mode), raw_(std::move(raw)) {}

    void start() {
        error_code ignored;
        ws_.next_layer().socket().set_option(tcp::no_delay(true), ignored);
        http::async_read(ws_.next_layer(), buffer_, request_,
                         [self = shared_from_this()](const error_code& ec, std::size_t) {
                             self->onRequest(ec);
                         });
    }

    void enqueue(Outgoing out) {
        outbox_.push_back(std::move(out));
        writeNext();
    }

    void drop() {
        auto& socket = beast::get_lowest_layer(ws_).socket();
        error_code ignored;
        socket.set_option(tcp::socket::linger(true, 0), ignored);
        socket.close(ignored);
    }

    void shut() {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    void onRequest(const error_code& ec) {
        if (ec) {
            ended();
            return;
        }
        Request seen;
        seen.method = std::string(request_.method_string());
        seen.target = std::string(request_.target());
        seen.host = std::string(request_[http::field::host]);
        seen.userAgent = std::string(request_[http::field::user_agent]);
        seen.webSocketUpgrade = websocket::is_upgrade(request_);
        server_.record([&] { server_.requests.push_back(seen); });

        switch (mode_) {
            case Handshake::Stall:
                drainUntilEnd();
                return;
            case Handshake::HangUp:
                finishWith({});
                return;
            case Handshake::Raw:
                finishWith(raw_);
                return;
            case Handshake::Accept:
            case Handshake::AcceptDeaf:
                break;
        }
        if (!seen.webSocketUpgrade) {
            finishWith(
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        ws_.auto_fragment(false);  // sendText is one frame; fragments are made explicitly
        ws_.read_message_max(0);
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::pong)
                server_.record([&] { ++server_.pongs; });
        });
        ws_.async_accept(request_, [self = shared_from_this()](const error_code& e) {
            if (e) {
                self->ended();
                return;
            }
            self->open_ = true;
            if (self->mode_ == Handshake::Accept)
                self->readMessages();
            self->writeNext();
        });
    }

    // Answers with `bytes` (maybe none), ends the sending side and waits for the client to go.
    void finishWith(std::string bytes) {
        raw_ = std::move(bytes);
        asio::async_write(ws_.next_layer().socket(), asio::buffer(raw_),
                          [self = shared_from_this()](const error_code& ec, std::size_t) {
                              error_code ignored;
                              auto& socket = self->ws_.next_layer().socket();
                              socket.shutdown(tcp::socket::shutdown_send, ignored);
                              if (ec)
                                  self->ended();
                              else
                                  self->drainUntilEnd();
                          });
    }

    void drainUntilEnd() {
        ws_.next_layer().socket().async_read_some(
            asio::buffer(scratch_), [self = shared_from_this()](const error_code& ec, std::size_t) {
                if (ec)
                    self->ended();
                else
                    self->drainUntilEnd();
            });
    }

    void readMessages() {
        ws_.async_read(incoming_, [self = shared_from_this()](const error_code& ec, std::size_t) {
            self->onMessage(ec);
        });
    }

    void onMessage(const error_code& ec) {
        if (ec) {
            if (ec == websocket::error::closed) {
                const int code = ws_.reason().code;
                server_.record([&] { server_.closeCodes.push_back(code); });
            }
            ended();
            return;
        }
        if (ws_.got_text()) {
            std::string text = beast::buffers_to_string(incoming_.data());
            server_.record([&] { server_.messages.push_back(std::move(text)); });
        } else {
            server_.record([&] { ++server_.binaries; });
        }
        incoming_.consume(incoming_.size());
        readMessages();
    }

    void writeNext() {
        if (!open_ || ended_ || writing_ || outbox_.empty())
            return;
        writing_ = true;
        current_ = std::move(outbox_.front());
        outbox_.pop_front();
        auto self = shared_from_this();
        const auto written = [self](const error_code& ec, std::size_t = 0) {
            self->afterWrite(ec);
        };
        switch (current_.kind) {
            case Outgoing::Kind::Text:
                ws_.text(true);
                ws_.async_write(asio::buffer(current_.data), written);
                break;
            case Outgoing::Kind::Binary:
                ws_.binary(true);
                ws_.async_write(asio::buffer(current_.data), written);
                break;
            case Outgoing::Kind::Fragmented:
                ws_.text(true);
                offset_ = 0;
                writeFragment();
                break;
            case Outgoing::Kind::Ping: {
                const std::size_t size =
                    std::min(current_.data.size(), websocket::ping_data::max_size_n);
                ws_.async_ping(websocket::ping_data(current_.data.data(), size), written);
                break;
            }
            case Outgoing::Kind::Close:
                ws_.async_close(
                    websocket::close_reason(static_cast<websocket::close_code>(current_.code),
                                            current_.data),
                    [self](const error_code& ec) {
                        if (!ec) {
                            const int code = self->ws_.reason().code;
                            self->server_.record([&] { self->server_.closeCodes.push_back(code); });
                        }
                        self->afterWrite(ec);
                    });
                break;
        }
    }

    void writeFragment() {
        const std::size_t left = current_.data.size() - offset_;
        const std::size_t piece =
            current_.frameBytes == 0 ? left : std::min(left, current_.frameBytes);
        const bool fin = piece == left;
        ws_.async_write_some(
            fin, asio::buffer(current_.data.data() + offset_, piece),
            [self = shared_from_this(), piece, fin](const error_code& ec, std::size_t) {
                if (ec || fin) {
                    self->afterWrite(ec);
                    return;
                }
                self->offset_ += piece;
                self->writeFragment();
            });
    }

    void afterWrite(const error_code& ec) {
        writing_ = false;
        if (!ec)
            writeNext();
    }

    void ended() {
        if (ended_)
            return;
        ended_ = true;
        outbox_.clear();
        server_.record([&] { ++server_.ended; });
    }

    Impl& server_;
    websocket::stream<beast::tcp_stream> ws_;
    Handshake mode_;
    std::string raw_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    beast::flat_buffer incoming_;
    char scratch_[4096];
    bool open_ = false;
    bool ended_ = false;
    std::deque<Outgoing> outbox_;
    bool writing_ = false;
    Outgoing current_;
    std::size_t offset_ = 0;
};

void WsTestServer::Impl::acceptNext() {
    acceptor.async_accept(ioc, [this](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec) {
            Handshake mode;
            std::string raw;
            {
                std::lock_guard lock(mutex);
                ++connections;
                mode = handshake;
                raw = rawAnswer;
            }
            changed.notify_all();
            auto session = std::make_shared<Session>(*this, std::move(socket), mode, raw);
            sessions.push_back(session);
            session->start();
        }
        acceptNext();
    });
}

void WsTestServer::Impl::toNewest(Outgoing out) {
    asio::post(ioc, [this, out = std::move(out)]() mutable {
        if (!sessions.empty())
            sessions.back()->enqueue(std::move(out));
    });
}

WsTestServer::WsTestServer() : WsTestServer(0) {}

WsTestServer::WsTestServer(std::uint16_t port) : impl_(std::make_unique<Impl>()) {
    const tcp::endpoint local(asio::ip::make_address_v4("127.0.0.1"), port);
    impl_->acceptor.open(local.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(local);
    impl_->acceptor.listen();
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->acceptNext();
    impl_->thread = std::thread([impl = impl_.get()] { impl->ioc.run(); });
}

WsTestServer::~WsTestServer() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        error_code ignored;
        impl->acceptor.close(ignored);
        for (auto& session : impl->sessions)
            session->shut();
        impl->ioc.stop();
    });
    impl_->thread.join();
    impl_->sessions.clear();
}

std::uint16_t WsTestServer::port() const {
    return impl_->port;
}

std::uint16_t WsTestServer::unusedPort() {
    asio::io_context ioc;
    tcp::socket socket(ioc);
    const tcp::endpoint local(asio::ip::make_address_v4("127.0.0.1"), 0);
    socket.open(local.protocol());
    socket.bind(local);
    return socket.local_endpoint().port();
}

void WsTestServer::acceptUpgrades() {
    std::lock_guard lock(impl_->mutex);
    impl_->handshake = Handshake::Accept;
}
void WsTestServer::acceptUpgradesWithoutReading() {
    std::lock_guard lock(impl_->mutex);
    impl_->handshake = Handshake::AcceptDeaf;
}
void WsTestServer::answerRaw(std::string response) {
    std::lock_guard lock(impl_->mutex);
    impl_->handshake = Handshake::Raw;
    impl_->rawAnswer = std::move(response);
}
void WsTestServer::answerHttp(unsigned status, std::string body) {
    answerRaw("HTTP/1.1 " + std::to_string(status) + " Test\r\nContent-Type: text/plain\r\n" +
              "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
              body);
}
void WsTestServer::stallHandshakes() {
    std::lock_guard lock(impl_->mutex);
    impl_->handshake = Handshake::Stall;
}
void WsTestServer::hangUpOnRequest() {
    std::lock_guard lock(impl_->mutex);
    impl_->handshake = Handshake::HangUp;
}

std::size_t WsTestServer::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}
std::size_t WsTestServer::endedConnectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ended;
}
std::vector<WsTestServer::Request> WsTestServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}
std::vector<std::string> WsTestServer::messages() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->messages;
}
std::size_t WsTestServer::binaryCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->binaries;
}
std::size_t WsTestServer::pongCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->pongs;
}
std::vector<int> WsTestServer::closeCodes() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->closeCodes;
}

bool WsTestServer::waitForConnections(std::size_t count, Timeout timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->connections >= count; });
}
bool WsTestServer::waitForEndedConnections(std::size_t count, Timeout timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->ended >= count; });
}
bool WsTestServer::waitForRequests(std::size_t count, Timeout timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->requests.size() >= count; });
}
bool WsTestServer::waitForMessages(std::size_t count, Timeout timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->messages.size() >= count; });
}
bool WsTestServer::waitForPongs(std::size_t count, Timeout timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->pongs >= count; });
}
bool WsTestServer::waitForCloseCodes(std::size_t count, Timeout timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->closeCodes.size() >= count; });
}

void WsTestServer::sendText(std::string text) {
    impl_->toNewest({Outgoing::Kind::Text, std::move(text)});
}
void WsTestServer::sendFragmentedText(std::string text, std::size_t frameBytes) {
    impl_->toNewest({Outgoing::Kind::Fragmented, std::move(text), frameBytes});
}
void WsTestServer::sendBinary(std::string bytes) {
    impl_->toNewest({Outgoing::Kind::Binary, std::move(bytes)});
}
void WsTestServer::sendPing(std::string payload) {
    impl_->toNewest({Outgoing::Kind::Ping, std::move(payload)});
}
void WsTestServer::sendClose(int code, std::string reason) {
    impl_->toNewest({Outgoing::Kind::Close, std::move(reason), 0, code});
}
void WsTestServer::dropConnection() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        if (!impl->sessions.empty())
            impl->sessions.back()->drop();
    });
}

}  // namespace testing_support

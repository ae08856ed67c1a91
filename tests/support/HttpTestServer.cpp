#include "tests/support/HttpTestServer.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include "platform/HttpRequestText.h"

namespace testing_support {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::uint32_t kMaxRequestHead = 64 * 1024;

// The header lines of a head, in order (the request line is skipped).
HttpHeaderList headerList(std::string_view head) {
    HttpHeaderList out;
    std::size_t pos = head.find("\r\n");
    while (pos != std::string_view::npos && pos + 2 < head.size()) {
        pos += 2;
        const auto end = head.find("\r\n", pos);
        const std::string_view line = head.substr(pos, end - pos);
        pos = end;
        const auto colon = line.find(':');
        if (colon != std::string_view::npos)
            out.emplace_back(std::string(platform::trimBlanks(line.substr(0, colon))),
                             std::string(platform::trimBlanks(line.substr(colon + 1))));
    }
    return out;
}

std::string hex(std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[n % 16]);
        n /= 16;
    } while (n > 0);
    return out;
}

// The response as the pieces written one after another: the head goes with the first.
std::vector<std::string> responsePieces(const HttpCannedResponse& r) {
    using Framing = HttpCannedResponse::Framing;
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " +
                       std::string(http::obsolete_reason(http::int_to_status(r.status))) + "\r\n";
    for (const auto& [name, value] : r.headers)
        head += name + ": " + value + "\r\n";
    if (r.framing == Framing::ContentLength)
        head += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    else if (r.framing == Framing::Chunked)
        head += "Transfer-Encoding: chunked\r\n";
    head += "Connection: close\r\n\r\n";

    std::vector<std::string> body;
    const std::size_t step =
        r.pieceBytes > 0 ? r.pieceBytes : std::max<std::size_t>(r.body.size(), 1);
    for (std::size_t at = 0; at < r.body.size(); at += step) {
        std::string piece = r.body.substr(at, step);
        if (r.framing == Framing::Chunked)
            piece = hex(piece.size()) + "\r\n" + piece + "\r\n";
        body.push_back(std::move(piece));
    }
    if (r.framing == Framing::Chunked)
        body.emplace_back("0\r\n\r\n");
    if (r.action == HttpCannedResponse::Action::DropMidBody) {
        std::size_t left = r.dropAfterBytes;
        for (std::size_t i = 0; i < body.size(); ++i) {
            if (body[i].size() >= left) {
                body[i].resize(left);
                body.resize(i + 1);
                break;
            }
            left -= body[i].size();
        }
    }

    std::vector<std::string> pieces{std::move(head)};
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (i == 0)
            pieces[0] += body[0];
        else
            pieces.push_back(std::move(body[i]));
    }
    return pieces;
}

}  // namespace

const std::string* HttpRecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (beast::iequals(n, beast::string_view(name.data(), name.size())))
            return &v;
    return nullptr;
}

HttpCannedResponse HttpCannedResponse::make(unsigned status, std::string body) {
    HttpCannedResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

HttpCannedResponse HttpCannedResponse::withAction(Action action) {
    HttpCannedResponse r;
    r.action = action;
    return r;
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed ? seed : 1;
    for (auto& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>('a' + x % 26);
    }
    return out;
}

struct HttpTestServer::Impl {
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer acceptRetry{ioc};
    std::thread thread;
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable recorded;
    std::deque<HttpCannedResponse> queue;
    std::map<std::string, HttpCannedResponse> routes;
    HttpCannedResponse fallback = HttpCannedResponse::make(404);
    std::vector<HttpRecordedRequest> requests;
    std::size_t connections = 0;

    HttpCannedResponse scriptFor(const std::string& target) {
        std::lock_guard lock(mutex);
        if (!queue.empty()) {
            HttpCannedResponse r = std::move(queue.front());
            queue.pop_front();
            return r;
        }
        const auto it = routes.find(target.substr(0, target.find('?')));
        return it != routes.end() ? it->second : fallback;
    }

    void record(HttpRecordedRequest request) {
        {
            std::lock_guard lock(mutex);
            requests.push_back(std::move(request));
        }
        recorded.notify_all();
    }

    void accept();

    // One connection, one request. Every pending operation holds the connection; when none is
    // left, it closes.
    class Connection : public std::enable_shared_from_this<Connection> {
    public:
        Connection(Impl& server, tcp::socket socket)
            : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()) {
            parser_.header_limit(kMaxRequestHead);
            // Not boost::none: Beast 1.74 then rejects every body with a Content-Length.
            parser_.body_limit(std::numeric_limits<std::uint64_t>::max());
        }

        void read() {
            std::size_t want = buffer_.size();
            if (paced())
                want = std::min(want, script_.readPieceBytes - readSincePause_);
            socket_.async_read_some(
                asio::buffer(buffer_.data(), want),
                [self = shared_from_this()](error_code ec, std::size_t n) { self->onRead(ec, n); });
        }

    private:
        // Whether the body is being read piece by piece with pauses.
        bool paced() const {
            return headDone_ && script_.readPieceBytes > 0 &&
                   (script_.readPacedBytes == 0 || bodyRead_ < script_.readPacedBytes);
        }

        void onRead(error_code ec, std::size_t n) {
            if (ec)
                return;  // the client closed or reset: drop the connection
            if (headDone_) {
                readSincePause_ += n;
                bodyRead_ += n;
            }
            input_.append(buffer_.data(), n);
            std::size_t at = 0;
            while (at < input_.size() && !parser_.is_done()) {
                error_code pec;
                const std::size_t used =
                    parser_.put(asio::buffer(input_.data() + at, input_.size() - at), pec);
                if (!headDone_)
                    head_.append(input_, at, used);
                at += used;
                if (pec == http::error::need_more)
                    break;
                if (pec)
                    return;  // malformed: drop the connection
                if (!headDone_ && parser_.is_header_done()) {
                    headDone_ = true;
                    script_ = server_.scriptFor(std::string(parser_.get().target()));
                    if (script_.action == HttpCannedResponse::Action::StopReading) {
                        server_.record(recordOf(false));
                        park();
                        return;
                    }
                }
            }
            input_.erase(0, at);
            if (parser_.is_done()) {
                server_.record(recordOf(true));
                afterDelay(&Connection::act);
            } else if (paced() && readSincePause_ >= script_.readPieceBytes) {
                readSincePause_ = 0;
                wait(script_.readPause, &Connection::read);
            } else {
                read();
            }
        }

        HttpRecordedRequest recordOf(bool complete) const {
            HttpRecordedRequest r;
            r.head = head_;
            r.body = complete ? parser_.get().body() : std::string();
            r.method = std::string(parser_.get().method_string());
            r.target = std::string(parser_.get().target());
            r.headers = headerList(head_);
            r.complete = complete;
            return r;
        }

        void act() {
            using Action = HttpCannedResponse::Action;
            switch (script_.action) {
                case Action::Stall:
                    discardUntilClosed();
                    return;
                case Action::StopReading:
                    park();
                    return;
                case Action::Drop:
                    close();
                    return;
                case Action::Respond:
                case Action::DropMidBody:
                    pieces_ = responsePieces(script_);
                    writeNext();
                    return;
            }
        }

        void writeNext() {
            if (next_ == pieces_.size()) {
                close();
                return;
            }
            asio::async_write(socket_, asio::buffer(pieces_[next_]),
                              [self = shared_from_this()](error_code ec, std::size_t) {
                                  if (ec)
                                      return;
                                  ++self->next_;
                                  if (self->next_ < self->pieces_.size())
                                      self->wait(self->script_.pieceInterval,
                                                 &Connection::writeNext);
                                  else
                                      self->writeNext();
                              });
        }

        void afterDelay(void (Connection::*then)()) { wait(script_.delay, then); }

        void wait(std::chrono::milliseconds pause, void (Connection::*then)()) {
            if (pause.count() <= 0) {
                (this->*then)();
                return;
            }
            timer_.expires_after(pause);
            timer_.async_wait([self = shared_from_this(), then](error_code ec) {
                if (!ec)
                    ((*self).*then)();
            });
        }

        // Holds the connection open, unread, until the server stops.
        void park() {
            timer_.expires_at(asio::steady_timer::time_point::max());
            timer_.async_wait([self = shared_from_this()](error_code) {});
        }

        // Holds the connection open and never answers, until the client closes it or the
        // server stops.
        void discardUntilClosed() {
            socket_.async_read_some(asio::buffer(buffer_),
                                    [self = shared_from_this()](error_code ec, std::size_t) {
                                        if (!ec)
                                            self->discardUntilClosed();
                                    });
        }

        void close() {
            error_code ignored;
            socket_.shutdown(tcp::socket::shutdown_send, ignored);
            socket_.close(ignored);
        }

        Impl& server_;
        tcp::socket socket_;
        asio::steady_timer timer_;
        http::request_parser<http::string_body> parser_;
        std::array<char, 16384> buffer_{};
        std::string input_;
        std::string head_;
        bool headDone_ = false;
        std::size_t readSincePause_ = 0;
        std::size_t bodyRead_ = 0;  // bytes read after the head's read
        HttpCannedResponse script_;
        std::vector<std::string> pieces_;
        std::size_t next_ = 0;
    };
};

void HttpTestServer::Impl::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors or the like: try again shortly rather than spin.
            acceptRetry.expires_after(std::chrono::milliseconds(10));
            acceptRetry.async_wait([this](error_code e) {
                if (!e)
                    accept();
            });
            return;
        }
        {
            std::lock_guard lock(mutex);
            ++connections;
        }
        std::make_shared<Connection>(*this, std::move(socket))->read();
        accept();
    });
}

HttpTestServer::HttpTestServer() : impl_(std::make_unique<Impl>()) {
    auto& acceptor = impl_->acceptor;
    acceptor.open(tcp::v4());
    // Set on the listener, so accepted connections start with it (before any window is offered).
    acceptor.set_option(asio::socket_base::receive_buffer_size(kReceiveBufferBytes));
    acceptor.bind(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    acceptor.listen();
    impl_->port = acceptor.local_endpoint().port();
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] {
        for (;;) {
            try {
                impl->ioc.run();
                return;
            } catch (...) {
                // A handler failed on a client's behalf; keep serving.
            }
        }
    });
}

HttpTestServer::~HttpTestServer() {
    impl_->ioc.stop();
    impl_->thread.join();
    // The io_context goes last and takes the remaining connections with it.
}

std::uint16_t HttpTestServer::port() const {
    return impl_->port;
}

void HttpTestServer::enqueue(HttpCannedResponse response) {
    std::lock_guard lock(impl_->mutex);
    impl_->queue.push_back(std::move(response));
}

void HttpTestServer::route(const std::string& path, HttpCannedResponse response) {
    std::lock_guard lock(impl_->mutex);
    impl_->routes[path] = std::move(response);
}

void HttpTestServer::setFallback(HttpCannedResponse response) {
    std::lock_guard lock(impl_->mutex);
    impl_->fallback = std::move(response);
}

std::vector<HttpRecordedRequest> HttpTestServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

std::size_t HttpTestServer::requestCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests.size();
}

bool HttpTestServer::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->recorded.wait_for(lock, timeout, [&] { return impl_->requests.size() >= n; });
}

std::size_t HttpTestServer::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}

}  // namespace testing_support

// An HTTP connection: reads request heads and bodies with limits and deadlines, lets the routes
// decide, writes their answers, and hands WebSocket upgrades over to a WebSocket session.
// Bodies are read in pieces: an upload's go to its intake as they arrive, the other routes'
// (small) bodies are collected first.
#include <algorithm>
#include <atomic>
#include <limits>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "backend/NetworkParts.h"
#include "backend/Text.h"

namespace brevant::backend::sockets {
namespace {

namespace websocket = beast::websocket;

constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr std::size_t kBodyChunk = 64 * 1024;
constexpr std::size_t kDrainChunk = 16 * 1024;
constexpr auto kWriteTimeout = std::chrono::seconds(30);

bool isLoopback(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
    return address.is_loopback();
}

class HttpSession final : public Closable,
                          public Evictable,
                          public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Network::Impl& net, unsigned roles, tcp::socket socket, ConnectionSlot slot)
        : net_(net),
          roles_(roles),
          stream_(std::move(socket)),
          executor_(stream_.get_executor()),
          slot_(std::move(slot)) {}

    ~HttpSession() override {
        net_.delist(this);
        if (waitTicket_ != 0)
            net_.stopWaiting(waitTicket_);
    }

    void start() {
        error_code ec;
        const tcp::endpoint remote = stream_.socket().remote_endpoint(ec);
        peer_ = ec ? std::string("?") : endpointText(remote);
        loopback_ = !ec && isLoopback(remote.address());
        if (!net_.enlist(this, weak_from_this())) {
            stream_.socket().close(ec);
            return;
        }
        // Among the connections waiting for a head from its accept on, so that the next
        // connection accepted at the cap finds it there.
        waitTicket_ = net_.startWaiting(weak_from_this(), slot_.address());
        asio::dispatch(executor_, [self = shared_from_this()] { self->readHead(); });
    }

    void shutdown() override {
        asio::post(executor_, [self = shared_from_this()] {
            if (!self->upgraded_)
                self->closeNow();
        });
    }

    // A head is idle until it is whole; a body once it has had slowBodyGrace and arrived
    // slower than minBodyBytesPerSecond on average.
    bool idle(std::chrono::steady_clock::time_point now) const override {
        const auto started = bodyStartedAt_.load();
        if (started == kNoBody)
            return true;
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
            now -
            std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(started)));
        if (elapsed < net_.options.slowBodyGrace)
            return false;
        // bytes / seconds < floor, in doubles: no overflow whatever the size or the wait
        return static_cast<double>(bodyBytes_.load()) * 1e6 <
               static_cast<double>(net_.options.minBodyBytesPerSecond) *
                   static_cast<double>(elapsed.count());
    }

    // Taken out of the waiting connections by admit(): it never gets to use its head or body.
    void evict() override {
        asio::post(executor_, [self = shared_from_this()] { self->closeNow(); });
    }

private:
    // The head has headTimeout to arrive whole, however slowly its bytes trickle in.
    void readHead() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(net_.routes.bodyLimit(roles_));
        version_ = 11;
        bodyLeft_.reset();
        readingHead_ = true;
        bodyStartedAt_ = kNoBody;
        if (waitTicket_ == 0)
            waitTicket_ = net_.startWaiting(weak_from_this(), slot_.address());
        stream_.expires_after(net_.options.headTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onHead(ec); });
    }

    void onHead(error_code ec) {
        const bool evicted = !net_.stopWaiting(std::exchange(waitTicket_, 0));
        if (evicted)
            return closeNow();
        if (ec)
            return onReadError(ec);
        readingHead_ = false;
        const Request& request = parser_->get();
        version_ = request.version();
        keepAlive_ = request.keep_alive();
        head_ = headOf(request);
        if (const auto length = parser_->content_length())
            head_.contentLength = *length;
        head_.fromLoopback = loopback_;
        head_.peer = peer_;
        head_.address = slot_.address().to_string();

        routing_ = net_.routes.route(roles_, head_);
        if (routing_.refusal) {
            // What is left of an announced body, which lingering reads before it closes.
            const std::size_t buffered = buffer_.size();
            if (head_.contentLength && !parser_->is_done())
                bodyLeft_ = *head_.contentLength > buffered ? *head_.contentLength - buffered : 0;
            return reply(std::move(*routing_.refusal), !parser_->is_done() || !keepAlive_);
        }
        if (routing_.endpoint == Endpoint::WebSocket)
            return upgrade();
        parser_->body_limit(routing_.bodyLimit);
        stream_.expires_after(routing_.upload ? net_.options.uploadBodyTimeout
                                              : net_.options.httpReadTimeout);
        if (routing_.upload) {
            // An upload that gives its slot to another one ends here.
            routing_.upload->whenEvicted([weak = weak_from_this()] {
                if (auto self = weak.lock())
                    asio::post(self->executor_, [self] {
                        if (self->routing_.upload)
                            self->closeNow();
                    });
            });
        }
        if (parser_->is_done())
            return endBody();
        // A body that trickles in may be evicted at the cap, like a head.
        bodyBytes_ = 0;
        bodyStartedAt_ = std::chrono::steady_clock::now().time_since_epoch().count();
        waitTicket_ = net_.startWaiting(weak_from_this(), slot_.address());
        if (!equalsNoCase(std::string(request[http::field::expect]), "100-continue"))
            return readBody();
        continue_ = {};
        continue_.result(http::status::continue_);
        continue_.version(11);
        http::async_write(stream_, continue_,
                          [self = shared_from_this()](error_code ec2, std::size_t) {
                              if (ec2)
                                  return self->closeNow();
                              self->readBody();
                          });
    }

    // Reads what has arrived of the body (a chunk at most), so that a body's progress is
    // counted as it arrives (idle()).
    void readBody() {
        chunk_.resize(kBodyChunk);
        auto& body = parser_->get().body();
        body.data = chunk_.data();
        body.size = chunk_.size();
        http::async_read_some(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onChunk(ec); });
    }

    void onChunk(error_code ec) {
        if (ec == http::error::need_buffer)  // the chunk is full
            ec = {};
        if (ec)
            return onReadError(ec);
        const std::string_view bytes(chunk_.data(), chunk_.size() - parser_->get().body().size);
        bodyBytes_ += bytes.size();
        if (routing_.upload)
            routing_.upload->write(bytes);
        else
            body_.append(bytes);  // within the route's small body limit
        if (!parser_->is_done())
            return readBody();
        endBody();
    }

    void endBody() {
        if (bodyStartedAt_.exchange(kNoBody) != kNoBody &&
            !net_.stopWaiting(std::exchange(waitTicket_, 0)))
            return closeNow();  // evicted meanwhile
        HttpReply answer = routing_.upload ? routing_.upload->finish()
                                           : net_.routes.answer(routing_.endpoint, head_, body_);
        routing_.upload.reset();
        std::string().swap(body_);
        reply(std::move(answer), !keepAlive_);
    }

    void onReadError(error_code ec) {
        if (ec == http::error::end_of_stream || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset || ec == asio::error::eof)
            return closeNow();
        if (ec == beast::error::timeout) {
            // A connection kept open after an answer may stay quiet; one that started a request
            // and did not finish it in time is logged.
            if (readingHead_ && answered_ > 0 && !parser_->got_some())
                return closeNow();
            return drop(readingHead_
                            ? "timed out while sending a request head (" +
                                  std::to_string(net_.options.headTimeout.count()) + " ms allowed)"
                            : "timed out while sending a request");
        }
        if (ec == http::error::partial_message)
            return drop("closed the connection inside a request");
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
        drop("read failed: " + ec.message());
    }

    // Closes, then logs why: what a cut upload left is gone once the line is there.
    void drop(const std::string& why) {
        closeNow();
        net_.log.write("http " + peer_ + " " + why);
    }

    void upgrade() {
        upgraded_ = true;
        net_.delist(this);
        stream_.expires_never();
        serveWebSocket(net_, std::move(stream_), peer_, parser_->get(), std::move(slot_));
    }

    void reply(HttpReply answer, bool closeAfter) {
        if (const CommitRef after = std::exchange(answer.after, nullptr)) {
            // An answer that tells of a change is written once the change is on disk (or, for
            // one that says so, once it is known to wait); the network thread does not wait.
            auto waiting = std::make_shared<HttpReply>(std::move(answer));
            std::function<void()> resume = [self = shared_from_this(), waiting, closeAfter] {
                asio::post(self->executor_, [self, waiting, closeAfter] {
                    self->reply(std::move(*waiting), closeAfter);
                });
            };
            if (waiting->answerWhenDelayed ? after->thenOrDelayed(std::move(resume))
                                           : after->then(std::move(resume)))
                return;
            answer = std::move(*waiting);
        }
        if (const auto settle = std::exchange(answer.settle, nullptr))
            settle(answer);
        if (answer.holdFor.count() > 0) {
            auto timer = std::make_shared<asio::steady_timer>(executor_, answer.holdFor);
            answer.holdFor = {};
            auto waiting = std::make_shared<HttpReply>(std::move(answer));
            timer->async_wait([self = shared_from_this(), timer, waiting, closeAfter](error_code) {
                self->reply(std::move(*waiting), closeAfter);
            });
            return;
        }
        routing_.upload.reset();  // a refused upload's place and file go at once
        ++answered_;
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
    // sending its body (a refusal comes before the body is read): closing with unread bytes
    // would reset the connection, and a client still writing would see the reset instead of
    // the answer. Our side is shut, and what still arrives is read and thrown away until the
    // announced body is all read or the client closes: at most as much as the largest body
    // these ports take, for Options::lingerTimeout at most.
    void linger() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(net_.options.lingerTimeout);
        const std::uint64_t most = net_.routes.bodyLimit(roles_) + kHeaderLimit;
        drainLeft_ = bodyLeft_ ? std::min(*bodyLeft_, most) : most;
        if (drainLeft_ == 0)
            return closeNow();
        drain_.resize(kDrainChunk);
        drainNext();
    }

    void drainNext() {
        stream_.async_read_some(asio::buffer(drain_),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    if (ec || n >= self->drainLeft_)
                                        return self->closeNow();
                                    self->drainLeft_ -= n;
                                    self->drainNext();
                                });
    }

    // Ends the connection; an upload cut off here leaves nothing behind.
    void closeNow() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
        routing_.upload.reset();
        slot_.release();
    }

    Network::Impl& net_;
    const unsigned roles_;
    beast::tcp_stream stream_;
    const asio::any_io_executor executor_;
    ConnectionSlot slot_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::buffer_body>> parser_;
    std::vector<char> chunk_;  // the body's bytes, a chunk at a time
    std::string body_;         // a small route's whole body
    HttpHead head_;
    Routing routing_;
    unsigned version_ = 11;
    bool keepAlive_ = false;
    bool closeAfter_ = false;
    bool upgraded_ = false;
    bool readingHead_ = false;
    // While a body is read, when its reading began (else kNoBody) and its bytes so far, for
    // idle() on other threads.
    static constexpr auto kNoBody = std::numeric_limits<std::chrono::steady_clock::rep>::min();
    std::atomic<std::chrono::steady_clock::rep> bodyStartedAt_{kNoBody};
    std::atomic<std::uint64_t> bodyBytes_{0};
    std::uint64_t waitTicket_ = 0;  // among the connections waiting for a head, while one
    std::size_t answered_ = 0;
    std::string peer_;
    bool loopback_ = false;
    http::response<http::string_body> response_;
    http::response<http::empty_body> continue_;
    std::optional<std::uint64_t> bodyLeft_;  // of a refused request's announced body
    std::vector<char> drain_;                // while lingering
    std::uint64_t drainLeft_ = 0;
};

}  // namespace

HttpHead headOf(const Request& request) {
    HttpHead head;
    head.method = std::string(request.method_string());
    head.target = std::string(request.target());
    head.contentType = std::string(request[http::field::content_type]);
    if (const auto it = request.find("x-api-key"); it != request.end())
        head.apiKey = std::string(it->value());
    if (const auto it = request.find("x-client"); it != request.end())
        head.client = std::string(it->value());
    if (request.count(http::field::host) == 1)
        head.host = std::string(request[http::field::host]);
    for (auto [it, end] = request.equal_range(http::field::origin); it != end; ++it)
        head.origin =
            (head.origin ? *head.origin + ", " : std::string()) + std::string(it->value());
    if (const auto it = request.find(beast::string_view(kAdminHeader.data(), kAdminHeader.size()));
        it != request.end())
        head.admin = std::string(it->value());
    head.upgrade = websocket::is_upgrade(request);
    return head;
}

void serveHttp(Network::Impl& net, unsigned roles, tcp::socket socket, ConnectionSlot slot) {
    std::make_shared<HttpSession>(net, roles, std::move(socket), std::move(slot))->start();
}

}  // namespace brevant::backend::sockets

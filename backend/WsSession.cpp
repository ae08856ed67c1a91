// A WebSocket session: reads whole messages into the hub, writes the hub's messages from a
// queue of bounded size (and within the backlog budget of all sessions), and pings the client
// now and then.
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "backend/NetworkParts.h"

namespace brevant::backend::sockets {
namespace {

namespace websocket = beast::websocket;

constexpr const char* kPing = R"({"t":"ping"})";
constexpr std::size_t kReadChunk = 64 * 1024;

// A client with more than this waiting to be sent to it, whose writes go on, is behind: those
// whose messages are relayed to it are not read until it is down to half of it. Reading no
// faster than the clients read keeps the work on messages that get delivered, instead of on
// queues that grow until the backlog budget or a client's cap ends them.
constexpr std::size_t kBehindBytes = 4 * 1024;
constexpr int kSendBufferBytes = 64 * 1024;
// A client none of whose writes went through for this long stopped reading: it holds nobody
// back (its queue is the per-client cap's to end).
constexpr auto kProgressWindow = std::chrono::milliseconds(500);

class WsSession final : public Closable,
                        public Evictable,
                        public Peer,
                        public Paused,
                        public std::enable_shared_from_this<WsSession> {
public:
    WsSession(Network::Impl& net, beast::tcp_stream&& stream, std::string peer, ConnectionSlot slot)
        : net_(net),
          ws_(std::move(stream)),
          peer_(std::move(peer)),
          number_(net.nextWsNumber++),
          slot_(std::move(slot)),
          pingTimer_(ws_.get_executor()),
          helloTimer_(ws_.get_executor()) {}

    ~WsSession() override {
        net_.delist(this);
        if (waitTicket_ != 0)
            net_.stopWaiting(waitTicket_);
        for (const std::string& text : queue_)
            release(text);
    }

    void accept(const Request& request) {
        if (!net_.enlist(this, weak_from_this())) {
            error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
            return;
        }
        beast::get_lowest_layer(ws_).expires_never();
        // What a client has not read yet waits in our queue, where it is counted (its cap, the
        // backlog, whether it is behind), rather than in a send buffer the system would let
        // grow to megabytes.
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(
            asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
        // The handshake's answer and a closing handshake get as long as a request head.
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.handshake_timeout = net_.options.headTimeout;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, kServerName);
        }));
        // No limit of Beast's own: a message over our limit is read to its end and dropped,
        // and the session goes on.
        ws_.read_message_max(0);
        ws_.async_accept(request,
                         [self = shared_from_this()](error_code ec) { self->onAccept(ec); });
    }

    // Counted in the backlog from here, so that messages on their way to the strand count too.
    void sendText(std::string text) override {
        charged_.fetch_add(charge(text));
        net_.addBacklog(charge(text));
        asio::post(ws_.get_executor(),
                   [self = shared_from_this(), text = std::move(text)]() mutable {
                       self->enqueue(std::move(text));
                   });
    }

    void closeForPolicy(std::string why) override {
        asio::post(ws_.get_executor(), [self = shared_from_this(), why = std::move(why)] {
            self->startClosing(why, websocket::close_code::policy_error);
        });
    }

    void closeToRetry(std::string why) override {
        asio::post(ws_.get_executor(), [self = shared_from_this(), why = std::move(why)] {
            self->startClosing(why, websocket::close_code::try_again_later);
        });
    }

    void shutdown() override {
        asio::post(ws_.get_executor(),
                   [self = shared_from_this()] { self->finish("the backend is stopping"); });
    }

    // A client earns its seat by behaving as a plugin does (Hub::idleReason); one that does
    // not holds it only as long as no new connection needs it.
    bool idle(std::chrono::steady_clock::time_point) const override {
        return net_.hub.idleReason(number_).has_value();
    }

    void evict() override {
        asio::post(ws_.get_executor(), [self = shared_from_this()] {
            self->finish("closed at the connection cap: " +
                         self->net_.hub.idleReason(self->number_).value_or("idle"));
        });
    }

    void resume() override {
        asio::post(ws_.get_executor(), [self = shared_from_this()] {
            if (std::exchange(self->heldByPeer_, false))
                self->net_.heldFeeders.fetch_sub(1);
            if (!self->finished_ && std::exchange(self->pausedReading_, false))
                self->readMore();
        });
    }

    bool behind() const override {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return charged_.load() > kBehindBytes &&
               now - lastProgress_.load() <
                   std::chrono::steady_clock::duration(kProgressWindow).count();
    }

    bool wakeWhenCaughtUp(std::function<void()> wake) override {
        std::lock_guard lock(waitersMutex_);
        if (ended_ || charged_.load() <= kBehindBytes / 2)
            return false;
        waiters_.push_back(std::move(wake));
        return true;
    }

    // Those waiting for a client that stopped reading go on; a client that stopped reading
    // while others waited for the backlog is dropped.
    void dropIfStalled(std::chrono::steady_clock::time_point now) override {
        asio::post(ws_.get_executor(), [self = shared_from_this(), now] {
            if (!self->writing_ || self->finished_)
                return;
            const auto limit = self->net_.options.stalledReaderTimeout;
            if (now - self->writeStartedAt_ > limit)
                return self->finish("not reading: no write went through for " +
                                    std::to_string(limit.count()) +
                                    " ms while other clients waited");
            if (now - self->writeStartedAt_ > kProgressWindow)
                self->wakeWaiters(false);
        });
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
        // Among the connections that may give their seat for as long as it is open.
        waitTicket_ =
            net_.startWaiting(std::weak_ptr<Evictable>(shared_from_this()), slot_.address());
        helloTimer_.expires_after(net_.options.helloTimeout);
        helloTimer_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec && !self->saidHello_)
                self->startClosing("no hello within " +
                                       std::to_string(self->net_.options.helloTimeout.count()) +
                                       " ms",
                                   websocket::close_code::policy_error);
        });
        schedulePing();
        readMore();
    }

    void noteHello() {
        if (saidHello_ || !net_.hub.saidHello(number_))
            return;
        saidHello_ = true;
        helloTimer_.cancel();
    }

    void readMore() {
        ws_.async_read_some(
            readBuffer_, kReadChunk,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(error_code ec) {
        if (ec) {
            if (closing_)
                finish(closeWhy_);
            else if (ec == websocket::error::closed)
                finish("closed by the client (code " + std::to_string(ws_.reason().code) + ")");
            else
                finish(ec.message());
            return;
        }
        const auto data = readBuffer_.data();
        Relayed relayed;
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
            else {
                relayed = net_.hub.received(number_, message_);
                noteHello();
            }
            message_.clear();
            oversized_ = false;
            messageBytes_ = 0;
        }
        if (relayed.bytes > 0 && holdBack(relayed))
            return;
        readMore();
    }

    // A client whose messages went to others while the backlog is over its budget feeds it,
    // and one whose messages went to a client that is behind makes it fall further behind:
    // it is not read until the backlog drains or that client caught up (resume()).
    bool holdBack(const Relayed& relayed) {
        if (net_.pauseIfOverBudget(shared_from_this(), number_))
            return pausedReading_ = true;
        for (const auto& target : relayed.to) {
            if (!target->behind() ||
                !target->wakeWhenCaughtUp([self = shared_from_this()] { self->resume(); }))
                continue;
            net_.heldFeeders.fetch_add(1);
            net_.watchForStallsSoon();
            heldByPeer_ = true;
            if (std::size_t count = 0; net_.holdLine.due(count))
                net_.log.write("stopped reading from ws#" + std::to_string(number_) +
                               " until a client it relays to, which is behind, catches up (" +
                               std::to_string(count) + " such waits since the last such line)");
            return pausedReading_ = true;
        }
        return false;
    }

    static std::size_t charge(const std::string& text) {
        return text.size() + kQueuedMessageOverhead;
    }

    // A queued message is gone (sent or dropped): it leaves the backlog, and those waiting for
    // this client go on once it is down to half of kBehindBytes.
    void release(const std::string& text) {
        const std::size_t bytes = charge(text);
        net_.releaseBacklog(bytes);
        const std::size_t before = charged_.fetch_sub(bytes);
        if (before > kBehindBytes / 2 && before - bytes <= kBehindBytes / 2)
            wakeWaiters(false);
    }

    void wakeWaiters(bool ended) {
        std::vector<std::function<void()>> waking;
        {
            std::lock_guard lock(waitersMutex_);
            ended_ = ended_ || ended;
            waking.swap(waiters_);
        }
        for (const auto& wake : waking)
            wake();
    }

    void enqueue(std::string text) {
        if (finished_ || !open_ || closing_)
            return release(text);
        // A client that stops reading would make the queue grow without end: it is dropped.
        if (queuedBytes_ + text.size() > net_.options.maxSendQueueBytes) {
            release(text);
            finish("not reading: over " + std::to_string(net_.options.maxSendQueueBytes) +
                   " bytes waiting to be sent");
            return;
        }
        queuedBytes_ += text.size();
        if (queue_.empty())
            lastProgress_ = std::chrono::steady_clock::now().time_since_epoch().count();
        queue_.push_back(std::move(text));
        if (!writing_)
            writeNext();
    }

    void writeNext() {
        writing_ = true;
        writeStartedAt_ = std::chrono::steady_clock::now();
        ws_.text(true);
        ws_.async_write(
            asio::buffer(queue_.front()),
            [self = shared_from_this()](error_code ec, std::size_t) { self->onWritten(ec); });
    }

    void onWritten(error_code ec) {
        writing_ = false;
        queuedBytes_ -= queue_.front().size();
        lastProgress_ = std::chrono::steady_clock::now().time_since_epoch().count();
        release(queue_.front());
        queue_.pop_front();
        if (ec || finished_ || closing_) {
            for (const std::string& text : queue_)
                release(text);
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

    // Sends a close frame with `code`, drops what was not sent yet, and finishes once the
    // client answered or the closing handshake timed out.
    void startClosing(const std::string& why, websocket::close_code code) {
        if (finished_ || closing_ || !open_)
            return;
        closing_ = true;
        closeWhy_ = why;
        while (queue_.size() > (writing_ ? 1u : 0u)) {
            queuedBytes_ -= queue_.back().size();
            release(queue_.back());
            queue_.pop_back();
        }
        ws_.async_close(websocket::close_reason(code, why),
                        [self = shared_from_this()](error_code) { self->finish(self->closeWhy_); });
    }

    // Ends the session once; `reason` empty when the hub never knew it. The connection's slot
    // is free before the hub logs the end.
    void finish(const std::string& reason) {
        if (finished_)
            return;
        finished_ = true;
        wakeWaiters(true);
        pingTimer_.cancel();
        helloTimer_.cancel();
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        slot_.release();
        if (open_)
            net_.hub.disconnected(number_, reason);
    }

    Network::Impl& net_;
    websocket::stream<beast::tcp_stream> ws_;
    const std::string peer_;
    const std::uint64_t number_;
    ConnectionSlot slot_;
    asio::steady_timer pingTimer_;
    asio::steady_timer helloTimer_;
    std::uint64_t waitTicket_ = 0;  // among the connections that may give their seat
    bool saidHello_ = false;
    beast::flat_buffer readBuffer_;
    std::string message_;
    std::size_t messageBytes_ = 0;
    bool oversized_ = false;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    std::chrono::steady_clock::time_point writeStartedAt_{};
    bool pausedReading_ = false;  // until the backlog drains or a client caught up
    bool heldByPeer_ = false;     // by a client that was behind (counted in heldFeeders)
    // Bytes charged for this client (queued, or on their way to the queue) and when its last
    // write went through, for other threads; those waiting for it to catch up.
    std::atomic<std::size_t> charged_{0};
    std::atomic<std::chrono::steady_clock::rep> lastProgress_{0};
    std::mutex waitersMutex_;
    std::vector<std::function<void()>> waiters_;
    bool ended_ = false;
    bool open_ = false;
    bool closing_ = false;  // a close frame was sent (closeForPolicy, closeToRetry)
    std::string closeWhy_;
    bool finished_ = false;
};

}  // namespace

void serveWebSocket(Network::Impl& net, beast::tcp_stream&& stream, std::string peer,
                    const Request& upgrade, ConnectionSlot slot) {
    std::make_shared<WsSession>(net, std::move(stream), std::move(peer), std::move(slot))
        ->accept(upgrade);
}

}  // namespace brevant::backend::sockets

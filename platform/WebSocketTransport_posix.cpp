// The WebSocket wire on Beast. One io_context per connection, never run by two threads at once:
// connect() drives it for the handshake, then read() on the receiver thread, and at the end the
// destructor. sendText() and close() only touch the shared queue and flags and post handlers,
// so every operation on the stream runs on the thread that is driving the context.
//
// No exception leaves an entry point: connect() then fails at SendRequest, read() returns Failed
// and ends the connection, sendText() and close() do nothing, and the destructor swallows it.
#include "platform/WebSocketTransport.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/basic_stream.hpp>
#include <boost/beast/core/rate_policy.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket.hpp>

#include "platform/HostLookup.h"

namespace platform {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

// A rate policy that limits nothing. It notes when the first read on the socket starts: the
// handshake reads the response only once the upgrade request has been written, so this tells
// the two handshake steps apart (each has its own time limit and its own failure).
class ResponseWatch {
public:
    std::optional<Clock::time_point> readStartedAt() const { return readStartedAt_; }

private:
    friend class beast::rate_policy_access;
    static constexpr std::size_t all = (std::numeric_limits<std::size_t>::max)();

    std::size_t available_read_bytes() {
        if (!readStartedAt_)
            readStartedAt_ = Clock::now();
        return all;
    }
    std::size_t available_write_bytes() const { return all; }
    void transfer_read_bytes(std::size_t) {}
    void transfer_write_bytes(std::size_t) {}
    void on_timer() {}

    std::optional<Clock::time_point> readStartedAt_;
};

using TcpStream = beast::basic_stream<tcp, asio::any_io_executor, ResponseWatch>;

bool isHttpError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::end_of_stream).category();
}
bool isWebSocketError(const error_code& ec) {
    return ec.category() == websocket::make_error_code(websocket::error::closed).category();
}

// Which step failed once the upgrade request is out: no (whole) response is ReceiveResponse,
// anything that arrived but does not make a WebSocket is Upgrade.
WebSocketConnectFailure responseFailure(const error_code& ec) {
    if (ec == http::error::end_of_stream || ec == http::error::partial_message)
        return WebSocketConnectFailure::ReceiveResponse;
    if (isHttpError(ec) || isWebSocketError(ec))
        return WebSocketConnectFailure::Upgrade;
    return WebSocketConnectFailure::ReceiveResponse;  // reset, timeout, other socket errors
}

std::string hostHeader(const std::string& host, std::uint16_t port) {
    std::string value = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != 80)
        value += ":" + std::to_string(port);
    return value;
}

class BeastConnection final : public WebSocketConnection {
public:
    explicit BeastConnection(const WebSocketOptions& options)
        : options_(options),
          ws_(ioc_),
          closeTimer_(ioc_),
          readBuffer_(std::max<std::size_t>(options.readChunk, 1), '\0') {}

    ~BeastConnection() override;

    bool handshake(WebSocketConnectFailure& failure);
    // handshake() threw: handlers it left may refer to its (gone) frame, so none of them may run
    // any more; the context destroys them unrun.
    void abandon() noexcept { abandoned_ = true; }

    WebSocketSendResult sendText(std::string text, std::uint64_t* frame) override;
    std::uint64_t framesWritten() const override { return written_.load(); }
    WebSocketReadResult read() override;
    void closeWithin(std::chrono::milliseconds within) override;

private:
    WebSocketReadResult readMessage();
    // Runs the context until `done`. The deadline is asked again each time the context wakes
    // (it may move); once it passes, `cancel` is called and the operation is awaited. Returns
    // false when the deadline passed.
    template <class Deadline, class Cancel>
    bool runUntil(const bool& done, Deadline deadline, Cancel cancel);
    void runUntil(const bool& done);

    // Everything below runs on the thread driving the context.
    void pumpWrites();
    void beginClose();
    void armCloseTimer();
    void startCloseIfReady();
    void shutSocket() noexcept;
    // Ends the connection: later sends are dropped and reads return Closed. With runHandlers the
    // handlers of the aborted operations run (none is left holding the stream); without, they
    // are left for the context to destroy unrun.
    void endAndRelease(bool runHandlers = true) noexcept;

    const WebSocketOptions options_;
    asio::io_context ioc_;
    websocket::stream<TcpStream> ws_;
    asio::steady_timer closeTimer_;
    std::string readBuffer_;
    std::string writing_;        // the frame being written
    bool closeArmed_ = false;    // close timer started
    bool closeStarted_ = false;  // async_close started
    bool closeOver_ = false;     // the close handshake ended or its time ran out
    bool abandoned_ = false;     // see abandon()
    // The pending read's outcome. A member, not a local of read(), so that its handler never
    // refers to a frame that an exception has left.
    error_code readError_;
    std::size_t readBytes_ = 0;
    bool readDone_ = true;

    // Shared between threads.
    std::mutex mutex_;
    std::deque<std::string> queue_;          // frames not yet handed to the stream
    std::size_t queuedBytes_ = 0;            // their sizes added up
    std::uint64_t queuedFrames_ = 0;         // frames ever queued (their numbers)
    std::atomic<std::uint64_t> written_{0};  // frames written whole
    bool pumping_ = false;                   // a pumpWrites() is posted or a write is in flight
    bool closeRequested_ = false;
    // When the close handshake is given up on: closeTimeout after close(), sooner when
    // closeWithin() asked for it.
    Clock::time_point closeDeadline_ = Clock::time_point::max();
    bool open_ = false;  // the handshake succeeded and the connection has not ended
};

template <class Deadline, class Cancel>
bool BeastConnection::runUntil(const bool& done, Deadline deadline, Cancel cancel) {
    ioc_.restart();
    while (!done) {
        const Clock::time_point limit = deadline();
        if (Clock::now() >= limit) {
            cancel();
            runUntil(done);
            return false;
        }
        if (ioc_.run_one_until(limit) == 0 && ioc_.stopped())
            ioc_.restart();
    }
    return true;
}

void BeastConnection::runUntil(const bool& done) {
    ioc_.restart();
    while (!done) {
        if (ioc_.run_one() == 0)
            ioc_.restart();  // out of work for a moment; the operation still has to finish
    }
}

bool BeastConnection::handshake(WebSocketConnectFailure& failure) {
    const auto end = Clock::now() + options_.handshakeTimeout;
    // A stop moves the deadline to now; the post wakes the context to see it.
    const auto deadline = [this, end] {
        return options_.stop.stop_requested() ? Clock::now() : end;
    };
    const std::stop_callback onStop(options_.stop, [this] { asio::post(ioc_, [] {}); });
    auto& lowest = beast::get_lowest_layer(ws_);
    const auto closeSocket = [&lowest] {
        error_code ignored;
        lowest.socket().close(ignored);
    };

    // A numeric host needs no lookup. A name's lookup ends at the deadline or a stop, whatever
    // the name server does, and leaves no thread of ours behind.
    std::vector<tcp::endpoint> endpoints;
    error_code ec;
    const auto address = asio::ip::make_address(options_.host, ec);
    if (!ec) {
        endpoints.emplace_back(address, options_.port);
    } else if (lookupHost(options_.host, options_.port, options_.stop, end, endpoints) !=
               LookupOutcome::Found) {
        failure = WebSocketConnectFailure::SendRequest;
        return false;
    }

    {
        bool done = false;
        lowest.async_connect(endpoints, [&](const error_code& e, const tcp::endpoint&) {
            ec = e;
            done = true;
        });
        const bool inTime = runUntil(done, deadline, closeSocket);
        if (!inTime || ec) {
            failure = WebSocketConnectFailure::SendRequest;
            return false;
        }
        // Small frames go out at once instead of waiting for the previous one's ACK.
        lowest.socket().set_option(tcp::no_delay(true), ec);
    }

    ws_.set_option(websocket::stream_base::decorator(
        [userAgent = options_.userAgent](websocket::request_type& request) {
            if (!userAgent.empty())
                request.set(http::field::user_agent, userAgent);
        }));
    ws_.auto_fragment(false);  // one frame per message
    ws_.read_message_max(0);   // our own cap applies, in read()

    websocket::response_type response;
    bool done = false;
    ws_.async_handshake(response, hostHeader(options_.host, options_.port), options_.path,
                        [&](const error_code& e) {
                            ec = e;
                            done = true;
                        });
    const bool inTime = runUntil(done, deadline, closeSocket);
    if (!inTime || ec) {
        if (!lowest.rate_policy().readStartedAt())
            failure = WebSocketConnectFailure::SendRequest;
        else if (!inTime)
            failure = WebSocketConnectFailure::ReceiveResponse;
        else
            failure = responseFailure(ec);
        closeSocket();
        return false;
    }

    // From here on Beast bounds the closing handshake (either side's) by closeTimeout, so a
    // peer that never finishes it cannot hold a read forever.
    ws_.set_option(websocket::stream_base::timeout{options_.closeTimeout,
                                                   websocket::stream_base::none(), false});
    std::lock_guard lock(mutex_);
    open_ = true;
    return true;
}

BeastConnection::~BeastConnection() {
    // Nobody reads any more (the receiver is gone or never started). If the connection is still
    // up, run the close handshake here, bounded by closeTimeout.
    try {
        bool wasOpen;
        {
            std::lock_guard lock(mutex_);
            wasOpen = open_;
            closeRequested_ = true;
            closeDeadline_ = std::min(closeDeadline_, Clock::now() + options_.closeTimeout);
        }
        if (wasOpen && !abandoned_) {
            beginClose();
            const auto deadline = Clock::now() + options_.closeTimeout;
            ioc_.restart();
            while (!closeOver_ && Clock::now() < deadline) {
                if (ioc_.run_one_until(deadline) == 0 && ioc_.stopped())
                    break;
            }
        }
    } catch (...) {
        // Give up on the close handshake; the socket is shut below.
    }
    endAndRelease(!abandoned_);
}

WebSocketSendResult BeastConnection::sendText(std::string text, std::uint64_t* frame) {
    try {
        // Posting under the lock keeps the queue and `pumping_` in step when posting fails: the
        // frame is then taken back and nothing has changed.
        std::lock_guard lock(mutex_);
        if (!open_ || closeRequested_)
            return WebSocketSendResult::NotOpen;
        if (queue_.size() >= options_.maxQueuedFrames ||
            text.size() > options_.maxQueuedBytes - std::min(queuedBytes_, options_.maxQueuedBytes))
            return WebSocketSendResult::QueueFull;
        const std::size_t size = text.size();
        queue_.push_back(std::move(text));
        queuedBytes_ += size;
        const auto queued = [&] {
            if (frame)
                *frame = ++queuedFrames_;
            else
                ++queuedFrames_;
            return WebSocketSendResult::Queued;
        };
        if (pumping_)
            return queued();
        try {
            asio::post(ioc_, [this] { pumpWrites(); });
        } catch (...) {
            queue_.pop_back();
            queuedBytes_ -= size;
            throw;
        }
        pumping_ = true;
        return queued();
    } catch (...) {
        // Out of memory or the like: the frame is not sent.
        return WebSocketSendResult::NotOpen;
    }
}

void BeastConnection::pumpWrites() {
    bool more = false;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty() || !open_) {
            queue_.clear();
            queuedBytes_ = 0;
            pumping_ = false;
        } else {
            writing_ = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= writing_.size();
            more = true;
        }
    }
    if (!more) {
        startCloseIfReady();
        return;
    }
    ws_.text(true);
    ws_.async_write(asio::buffer(writing_), [this](const error_code& ec, std::size_t) {
        writing_.clear();
        if (!ec) {
            written_.fetch_add(1);
            pumpWrites();
            return;
        }
        // The stream is broken; the pending read reports it. Drop what is left.
        {
            std::lock_guard lock(mutex_);
            queue_.clear();
            queuedBytes_ = 0;
            pumping_ = false;
        }
        startCloseIfReady();
    });
}

void BeastConnection::closeWithin(std::chrono::milliseconds within) {
    try {
        std::lock_guard lock(mutex_);
        if (!open_)
            return;
        const auto now = Clock::now();
        const auto limit = std::min(within, options_.closeTimeout);
        const auto deadline =
            limit >= Clock::time_point::max() - now ? Clock::time_point::max() : now + limit;
        if (closeRequested_ && deadline >= closeDeadline_)
            return;
        closeDeadline_ = deadline;
        // A close already under way has its timer moved sooner by beginClose().
        asio::post(ioc_, [this] { beginClose(); });
        closeRequested_ = true;
    } catch (...) {
        // Nothing was requested; a later close() may try again.
    }
}

void BeastConnection::beginClose() {
    Clock::time_point deadline;
    {
        std::lock_guard lock(mutex_);
        if (!open_)
            return;
        deadline = closeDeadline_;
    }
    if (closeArmed_) {
        // Asked again with a sooner deadline: the timer moves (its handler sees the old wait
        // cancelled and the new one armed).
        if (!closeOver_ && deadline < closeTimer_.expiry()) {
            closeTimer_.expires_at(deadline);
            armCloseTimer();
        }
        return;
    }
    closeArmed_ = true;
    closeTimer_.expires_at(deadline);
    armCloseTimer();
    startCloseIfReady();
}

void BeastConnection::armCloseTimer() {
    closeTimer_.async_wait([this](const error_code& ec) {
        if (ec)
            return;  // cancelled: the close finished in time, or the deadline moved
        closeOver_ = true;
        shutSocket();
    });
}

// The close frame goes out after the frames queued before close(), never during a write.
void BeastConnection::startCloseIfReady() {
    if (!closeArmed_ || closeStarted_)
        return;
    {
        std::lock_guard lock(mutex_);
        if (pumping_ || !open_)
            return;
    }
    closeStarted_ = true;
    ws_.async_close(websocket::close_code::normal, [this](const error_code& ec) {
        closeOver_ = true;
        closeTimer_.cancel();
        if (ec)
            shutSocket();
    });
}

void BeastConnection::shutSocket() noexcept {
    auto& socket = beast::get_lowest_layer(ws_).socket();
    if (!socket.is_open())
        return;
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void BeastConnection::endAndRelease(bool runHandlers) noexcept {
    try {
        std::lock_guard lock(mutex_);
        open_ = false;
        closeRequested_ = true;
        queue_.clear();
        queuedBytes_ = 0;
    } catch (...) {
        // Locking a std::mutex does not fail in practice; the socket is shut below regardless.
    }
    try {
        closeTimer_.cancel();
    } catch (...) {
    }
    shutSocket();
    if (!runHandlers)
        return;
    // The shut socket's pending handlers (a read, a write, the close timer: a handful) now run
    // with an error. poll() stops at a handler that throws, and that handler is then used up, so
    // each throw costs one more poll for the rest. 64 polls are far more than the handlers there
    // can be; the bound is only there so that a handler which keeps queuing a throwing successor
    // cannot hold this thread for ever.
    for (int attempt = 0; attempt < 64; ++attempt) {
        try {
            ioc_.restart();
            ioc_.poll();
            return;
        } catch (...) {
        }
    }
}

WebSocketReadResult BeastConnection::read() {
    try {
        return readMessage();
    } catch (...) {
        // Whatever was half done is abandoned with the connection; the pending read's handler
        // only touches members, so it may run now.
        endAndRelease();
        WebSocketReadResult failed;
        failed.kind = WebSocketReadResult::Kind::Failed;
        return failed;
    }
}

WebSocketReadResult BeastConnection::readMessage() {
    WebSocketReadResult result;
    {
        std::lock_guard lock(mutex_);
        if (!open_) {
            result.kind = WebSocketReadResult::Kind::Closed;
            return result;
        }
    }

    std::size_t size = 0;
    bool tooLarge = false;
    for (;;) {
        readError_ = {};
        readBytes_ = 0;
        readDone_ = false;
        ws_.async_read_some(asio::buffer(readBuffer_), [this](const error_code& e, std::size_t n) {
            readError_ = e;
            readBytes_ = n;
            readDone_ = true;
        });
        runUntil(readDone_);
        const error_code ec = readError_;
        const std::size_t got = readBytes_;

        if (ec) {
            bool closing;
            {
                std::lock_guard lock(mutex_);
                closing = closeRequested_;
            }
            const bool closed = closing || ec == websocket::error::closed;
            result = {};
            if (!closing && ec == websocket::error::closed) {
                // The peer closed: what it said about it.
                const auto& reason = ws_.reason();
                result.closeCode = static_cast<int>(reason.code);
                result.data.assign(reason.reason.data(), reason.reason.size());
            }
            endAndRelease();
            result.kind =
                closed ? WebSocketReadResult::Kind::Closed : WebSocketReadResult::Kind::Failed;
            return result;
        }

        size += got;
        if (ws_.got_text() && !tooLarge) {
            if (size > options_.maxMessageBytes) {
                tooLarge = true;
                std::string().swap(result.data);
            } else {
                result.data.append(readBuffer_.data(), got);
            }
        }
        if (ws_.is_message_done())
            break;
    }

    result.size = size;
    if (!ws_.got_text()) {
        result.kind = WebSocketReadResult::Kind::Binary;
        std::string().swap(result.data);
    } else {
        result.kind =
            tooLarge ? WebSocketReadResult::Kind::TooLarge : WebSocketReadResult::Kind::Text;
    }
    return result;
}

}  // namespace

std::unique_ptr<WebSocketConnection> WebSocketConnection::connect(
    const WebSocketOptions& options, WebSocketConnectFailure& failure) {
    std::unique_ptr<BeastConnection> connection;
    try {
        connection = std::make_unique<BeastConnection>(options);
        if (!connection->handshake(failure))
            return nullptr;
        return connection;
    } catch (...) {
        // Out of descriptors, threads or memory, at any step.
        if (connection)
            connection->abandon();
        failure = WebSocketConnectFailure::SendRequest;
        return nullptr;
    }
}

}  // namespace platform

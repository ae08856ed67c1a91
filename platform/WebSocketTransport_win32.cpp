// The WebSocket wire on WinHTTP's WebSocket API. connect() runs the upgrade synchronously on the
// caller's thread. Frames queued by sendText() go out on a writer thread of the connection's own,
// so that no caller waits for the network, and only while a read() is under way (the receiver
// blocks in WinHttpWebSocketReceive), as the header promises. close() lets the writer send what was
// queued before it, then the close frame (1000); when the peer's answer does not end the read
// within closeTimeout, the writer closes the WebSocket handle, which ends the read. The destructor
// joins the writer.
//
// No exception leaves an entry point.
#include "platform/WebSocketTransport.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Text.h"
#include "platform/WinHttp_win32.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

using winhttp::Handle;
using winhttp::limitMs;

class WinHttpConnection final : public WebSocketConnection {
public:
    explicit WinHttpConnection(const WebSocketOptions& options)
        : options_(options), buffer_(std::max<std::size_t>(options.readChunk, 1), '\0') {}
    ~WinHttpConnection() override;

    bool handshake(WebSocketConnectFailure& failure);
    bool completeUpgrade(HINTERNET request);
    // Starts the writer; false when no thread can be started.
    bool startWriter();

    WebSocketSendResult sendText(std::string text, std::uint64_t* frame) override;
    std::uint64_t framesWritten() const override { return written_.load(); }
    WebSocketReadResult read() override;
    void closeWithin(std::chrono::milliseconds within) override;

private:
    WebSocketReadResult readMessage();
    void writeLoop();
    // The WebSocket handle while it is open, else null. Closing it (once) ends a pending read.
    HINTERNET socket();
    void closeSocket();

    const WebSocketOptions options_;
    std::string buffer_;
    Handle session_;
    Handle connection_;

    std::mutex mutex_;
    std::condition_variable changed_;
    HINTERNET socket_ = nullptr;
    std::deque<std::string> queue_;
    std::uint64_t queuedFrames_ = 0;         // frames ever queued (their numbers)
    std::atomic<std::uint64_t> written_{0};  // frames written whole
    std::size_t queuedBytes_ = 0;
    bool open_ = false;            // the upgrade succeeded and the connection has not ended
    bool closeRequested_ = false;  // close() or the destructor asked for the close handshake
    // When the writer gives up on the handshake and closes the handle: closeTimeout after the
    // close was asked for, sooner when closeWithin() asked for it.
    std::chrono::steady_clock::time_point closeDeadline_ =
        std::chrono::steady_clock::time_point::max();
    bool readEnded_ = false;  // a read saw the end (Closed or Failed)
    bool reading_ = false;    // a read is under way: queued frames and the close may go out
    bool stopWriter_ = false;
    std::thread writer_;
};

// What is left of the handshake's one deadline, for a call that may use it `parts` times (sending
// the request resolves, connects and sends, each under its own limit, so each gets a third).
int leftMs(Clock::time_point deadline, int parts) {
    const auto rest =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(1, limitMs(rest) / parts);
}

// The upgrade request's limits. They are set before the request goes: Wine's WinHTTP does not
// take a limit changed after it. Not every WinHTTP passes the session's on to the request, so
// both get them. The response head gets what is left, rounded up, so that a silent server is
// given the whole deadline.
void setUpgradeLimits(HINTERNET request, Clock::time_point deadline) {
    const int limit = leftMs(deadline, 3);
    const int headLimitMs =
        std::max(1, limitMs(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())));
    ::WinHttpSetTimeouts(request, limit, limit, limit, headLimitMs);
    winhttp::setResponseHeadLimit(request, headLimitMs);
}

bool WinHttpConnection::handshake(WebSocketConnectFailure& failure) {
    failure = WebSocketConnectFailure::SendRequest;
    // One deadline for the whole handshake: each blocking call gets what is left of it.
    const auto deadline = Clock::now() + options_.handshakeTimeout;
    if (!winhttp::openSession(session_, options_.userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY))
        return false;
    const int limit = leftMs(deadline, 3);
    ::WinHttpSetTimeouts(session_.value, limit, limit, limit, limit);
    if (!winhttp::connect(session_.value, connection_, options_.host, options_.port))
        return false;
    Handle request;
    request.value = winhttp::openRequest(connection_.value, "GET", options_.path, options_.port);
    if (!request.value ||
        !::WinHttpSetOption(request.value, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))
        return false;
    // A stop closes the request, which ends whichever call is under way; the handle is then
    // the stop's to close, once.
    std::atomic<HINTERNET> open{request.value};
    struct Release {
        Handle& request;
        std::atomic<HINTERNET>& open;
        ~Release() {
            if (!open.exchange(nullptr))
                request.value = nullptr;  // the stop closed it
        }
    } release{request, open};
    // Declared last, so gone first: no stop can close the handle once `release` looks.
    const std::stop_callback onStop(options_.stop, [&open] {
        if (HINTERNET h = open.exchange(nullptr))
            ::WinHttpCloseHandle(h);
    });
    setUpgradeLimits(request.value, deadline);
    if (!::WinHttpSendRequest(request.value, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return false;
    failure = WebSocketConnectFailure::ReceiveResponse;
    // WinHTTP reports an answer that is not HTTP as it reports none: both fail here.
    if (!::WinHttpReceiveResponse(request.value, nullptr))
        return false;
    failure = WebSocketConnectFailure::Upgrade;
    return completeUpgrade(request.value);
}

// Only a 101 is completed: some WinHTTP versions hand back a handle for any answer.
bool WinHttpConnection::completeUpgrade(HINTERNET request) {
    DWORD status = 0;
    if (!winhttp::readStatus(request, status) || status != 101)
        return false;
    HINTERNET socket = ::WinHttpWebSocketCompleteUpgrade(request, 0);
    if (!socket)
        return false;
    std::lock_guard lock(mutex_);
    socket_ = socket;
    open_ = true;
    return true;
}

bool WinHttpConnection::startWriter() {
    try {
        writer_ = std::thread([this] { writeLoop(); });
        return true;
    } catch (...) {
        return false;
    }
}

WinHttpConnection::~WinHttpConnection() {
    try {
        bool readNeeded;
        {
            std::lock_guard lock(mutex_);
            closeRequested_ = true;
            closeDeadline_ =
                std::min(closeDeadline_, std::chrono::steady_clock::now() + options_.closeTimeout);
            readNeeded = open_ && !readEnded_;
        }
        changed_.notify_all();
        // Nobody reads any more: read here until the peer's close answer (or the writer's limit
        // closes the handle), so that the close handshake completes.
        while (readNeeded) {
            const WebSocketReadResult result = readMessage();
            readNeeded = result.kind != WebSocketReadResult::Kind::Closed &&
                         result.kind != WebSocketReadResult::Kind::Failed;
        }
    } catch (...) {
        // The handle is closed below regardless.
    }
    {
        std::lock_guard lock(mutex_);
        stopWriter_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable())
        writer_.join();
    closeSocket();
}

HINTERNET WinHttpConnection::socket() {
    std::lock_guard lock(mutex_);
    return socket_;
}

void WinHttpConnection::closeSocket() {
    HINTERNET socket;
    {
        std::lock_guard lock(mutex_);
        socket = std::exchange(socket_, nullptr);
        open_ = false;
        queue_.clear();
        queuedBytes_ = 0;
    }
    if (socket)
        ::WinHttpCloseHandle(socket);
    changed_.notify_all();
}

WebSocketSendResult WinHttpConnection::sendText(std::string text, std::uint64_t* frame) {
    try {
        {
            std::lock_guard lock(mutex_);
            if (!open_ || closeRequested_)
                return WebSocketSendResult::NotOpen;
            if (queue_.size() >= options_.maxQueuedFrames ||
                text.size() >
                    options_.maxQueuedBytes - std::min(queuedBytes_, options_.maxQueuedBytes))
                return WebSocketSendResult::QueueFull;
            queuedBytes_ += text.size();
            queue_.push_back(std::move(text));
            ++queuedFrames_;
            if (frame)
                *frame = queuedFrames_;
        }
        changed_.notify_all();
        return WebSocketSendResult::Queued;
    } catch (...) {
        // Out of memory: the frame is not sent.
        return WebSocketSendResult::NotOpen;
    }
}

void WinHttpConnection::closeWithin(std::chrono::milliseconds within) {
    try {
        {
            std::lock_guard lock(mutex_);
            if (!open_)
                return;
            const auto now = std::chrono::steady_clock::now();
            const auto limit = std::min(within, options_.closeTimeout);
            const auto deadline = limit >= std::chrono::steady_clock::time_point::max() - now
                                      ? std::chrono::steady_clock::time_point::max()
                                      : now + limit;
            if (closeRequested_ && deadline >= closeDeadline_)
                return;
            closeRequested_ = true;
            closeDeadline_ = deadline;
        }
        changed_.notify_all();
    } catch (...) {
    }
}

void WinHttpConnection::writeLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] {
            return stopWriter_ || !open_ || (reading_ && (!queue_.empty() || closeRequested_));
        });
        if (stopWriter_ || !open_)
            return;
        if (!queue_.empty()) {
            std::string frame = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= frame.size();
            HINTERNET socket = socket_;
            lock.unlock();
            const DWORD sent = ::WinHttpWebSocketSend(
                socket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                frame.empty() ? nullptr : frame.data(), static_cast<DWORD>(frame.size()));
            lock.lock();
            if (sent != NO_ERROR) {
                // The connection is broken; the pending read reports it. Drop what is left.
                queue_.clear();
                queuedBytes_ = 0;
            } else {
                written_.fetch_add(1);
            }
            continue;
        }
        // Close requested and everything queued before it is out: the close frame, then at most
        // closeTimeout for the read to see the end.
        HINTERNET socket = socket_;
        lock.unlock();
        ::WinHttpWebSocketShutdown(socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
        lock.lock();
        // The deadline may move sooner meanwhile (closeWithin): wait for the one in force.
        const auto over = [&] { return readEnded_ || !open_ || stopWriter_; };
        while (!over() && std::chrono::steady_clock::now() < closeDeadline_)
            changed_.wait_until(lock, closeDeadline_);
        const bool ended = over();
        if (!ended || !readEnded_) {
            lock.unlock();
            closeSocket();
            lock.lock();
        }
        // Nothing more to send on this connection; wait for the destructor.
        changed_.wait(lock, [&] { return stopWriter_; });
        return;
    }
}

WebSocketReadResult WinHttpConnection::read() {
    try {
        return readMessage();
    } catch (...) {
        closeSocket();
        WebSocketReadResult failed;
        failed.kind = WebSocketReadResult::Kind::Failed;
        return failed;
    }
}

WebSocketReadResult WinHttpConnection::readMessage() {
    WebSocketReadResult result;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || readEnded_) {
            result.kind = WebSocketReadResult::Kind::Closed;
            return result;
        }
    }
    // While this read lasts the writer may send; the frames then go out as they do on the other
    // systems, only while the receiver is reading.
    struct Reading {
        WinHttpConnection& c;
        explicit Reading(WinHttpConnection& owner) : c(owner) {
            {
                std::lock_guard lock(c.mutex_);
                c.reading_ = true;
            }
            c.changed_.notify_all();
        }
        ~Reading() {
            std::lock_guard lock(c.mutex_);
            c.reading_ = false;
        }
    } reading(*this);
    const auto end = [&](WebSocketReadResult::Kind kind) {
        {
            std::lock_guard lock(mutex_);
            readEnded_ = true;
            if (closeRequested_)
                kind = WebSocketReadResult::Kind::Closed;
        }
        changed_.notify_all();
        closeSocket();
        result = {};
        result.kind = kind;
        return result;
    };

    std::size_t size = 0;
    bool tooLarge = false;
    for (;;) {
        HINTERNET socket = this->socket();
        if (!socket)
            return end(WebSocketReadResult::Kind::Closed);
        DWORD got = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
        const DWORD error = ::WinHttpWebSocketReceive(
            socket, buffer_.data(), static_cast<DWORD>(buffer_.size()), &got, &type);
        if (error != NO_ERROR)
            return end(WebSocketReadResult::Kind::Failed);
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
            // What the peer said about its close, then the answer to it (a no-op when ours went
            // first), then the end.
            USHORT code = 0;
            char reason[WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH] = {};
            DWORD reasonLength = 0;
            const bool known = ::WinHttpWebSocketQueryCloseStatus(
                                   socket, &code, reason, sizeof reason, &reasonLength) == NO_ERROR;
            ::WinHttpWebSocketShutdown(socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
            auto closed = end(WebSocketReadResult::Kind::Closed);
            bool ours = false;
            {
                std::lock_guard lock(mutex_);
                ours = closeRequested_;
            }
            if (known && !ours) {
                closed.closeCode = code;
                closed.data.assign(reason, reasonLength);
            }
            return closed;
        }
        const bool text = type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
                          type == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE;
        size += got;
        if (text && !tooLarge) {
            if (size > options_.maxMessageBytes) {
                tooLarge = true;
                std::string().swap(result.data);
            } else {
                result.data.append(buffer_.data(), got);
            }
        }
        if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
            type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE) {
            result.size = size;
            if (!text) {
                result.kind = WebSocketReadResult::Kind::Binary;
                std::string().swap(result.data);
            } else {
                result.kind = tooLarge ? WebSocketReadResult::Kind::TooLarge
                                       : WebSocketReadResult::Kind::Text;
            }
            return result;
        }
    }
}

}  // namespace

std::unique_ptr<WebSocketConnection> WebSocketConnection::connect(
    const WebSocketOptions& options, WebSocketConnectFailure& failure) {
    // WinHTTP resolves names itself, under the handshake's limit.
    try {
        auto connection = std::make_unique<WinHttpConnection>(options);
        if (!connection->handshake(failure))
            return nullptr;
        if (!connection->startWriter()) {
            failure = WebSocketConnectFailure::SendRequest;
            return nullptr;
        }
        return connection;
    } catch (...) {
        failure = WebSocketConnectFailure::SendRequest;
        return nullptr;
    }
}

}  // namespace platform

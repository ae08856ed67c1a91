#pragma once
// The plugin's WebSocket client: one connection, one receiver thread, four callbacks.
//
// Threads: connect() runs on the session's connector thread, close() there or on the game thread
// at unload; the receiver thread runs the receive loop and the onMessage, onError and onClose
// callbacks when the loop ends; sendText() may be
// called from any thread and never waits for the network. A client is destroyed only from a
// thread other than its receiver thread.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/WebSocketTransport.h"

namespace brevant {

struct WebSocketLimits {
    // One deadline for the name lookup, the connection and the upgrade together: the connector's
    // thread waits at most this long for an open, and closing what was opened still fits in 3 s.
    std::chrono::milliseconds handshake{2500};
    // How long the closing handshake may take before the socket is shut.
    std::chrono::milliseconds close{3000};
};
// The limits that connections opened from now on take.
WebSocketLimits webSocketLimits();
// For tests: shorter limits, so that only the test about the limit waits it out.
void setWebSocketLimits(const WebSocketLimits& limits);

class WebSocketClient {
public:
    WebSocketClient(std::wstring host, std::wstring path, std::uint16_t port);
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Runs the handshake on the calling thread. True when connected (also when it already was).
    // On success calls onOpen on this thread, then starts the receiver thread. A stop request
    // ends a handshake under way at once, as a failure.
    bool connect(std::stop_token stop = {});
    // Sends one whole text frame while connected; otherwise the text is dropped. Never waits:
    // past the send queue's bound the frame is dropped, with a log line a second at most that
    // counts the frames dropped since the last one. Answers whether the connection took it; a
    // frame taken gets its number in `frame`, when given (see framesWritten()).
    platform::WebSocketSendResult sendText(const std::string& text, std::uint64_t* frame = nullptr);
    // How many of the frames taken have been written to the socket whole (frame n is out once
    // this is n or more); 0 before the connection opens. Any thread.
    std::uint64_t framesWritten();
    // Ends the connection, waits for the receiver thread (unless called on it), releases the
    // connection once and calls onClose. Safe to call more than once. The close handshake gets
    // `within` at most (and never more than its limit): a peer that does not answer in time is
    // cut off, its socket shut.
    void close(std::chrono::milliseconds within = std::chrono::milliseconds::max());

    bool isConnected() const { return connected.load(); }

    // How the connection ended, once it has: from the other side, by the peer's close (with the
    // code and reason of its close frame, when it sent them) or by the network, or not (close()).
    struct Ending {
        bool byPeer = false;
        int code = 0;        // 0: the peer gave none
        std::string reason;  // as the peer sent it
    };
    Ending ending() const;

    // Tells this client from every other of the process: frames are numbered per client.
    const std::uint64_t serial;
    const std::wstring host;
    const std::wstring path;
    const std::uint16_t port;

    std::function<void()> onOpen;
    // Each frame the peer sent (text, binary, or one too large to keep), before it is handled:
    // what tells that the peer is still there. The receiver thread.
    std::function<void()> onFrame;
    std::function<void(std::string)> onMessage;
    std::function<void()> onClose;
    std::function<void(const std::string&)> onError;

private:
    void receiveLoop();
    // Releases the connection the first time only; then calls onClose when asked to.
    void releaseOnce(bool callOnClose);

    std::unique_ptr<platform::WebSocketConnection> connection_;  // guarded by sendMutex
    std::thread receiverThread;
    std::atomic<bool> connected{false};
    std::atomic<bool> closed{false};
    std::mutex sendMutex;
    // Frames dropped at the queue's bound since the last line that said so, and when that was.
    std::uint64_t dropped_ = 0;                   // guarded by sendMutex
    std::int64_t droppedLineMs_ = INT64_MIN / 2;  // guarded by sendMutex
    mutable std::mutex endingMutex_;
    Ending ending_;
};

}  // namespace brevant

#pragma once
// The plugin's WebSocket client: one connection, one receiver thread, four callbacks.
//
// Threads: connect() and close() run on the game thread; the receiver thread runs the receive
// loop and the onMessage, onError and onClose callbacks when the loop ends; sendText() may be
// called from any thread and never waits for the network. A client is destroyed only from a
// thread other than its receiver thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/WebSocketTransport.h"

namespace brevant {

struct WebSocketLimits {
    // One deadline for the name lookup, the connection and the upgrade together: the game thread
    // waits at most this long for an open, and closing what was opened still fits in 3 s.
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
    // On success calls onOpen on this thread, then starts the receiver thread.
    bool connect();
    // Sends one whole text frame while connected; otherwise the text is dropped. Never waits:
    // past the send queue's bound the frame is dropped, with one log line per such episode.
    // Answers whether the connection took the text.
    platform::WebSocketSendResult sendText(const std::string& text);
    // Ends the connection, waits for the receiver thread (unless called on it), releases the
    // connection once and calls onClose. Safe to call more than once.
    void close();

    bool isConnected() const { return connected.load(); }

    const std::wstring host;
    const std::wstring path;
    const std::uint16_t port;

    std::function<void()> onOpen;
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
    std::atomic<bool> queueFull_{false};
    std::mutex sendMutex;
};

}  // namespace brevant

#include "net/WebSocketClient.h"

#include "core/Guard.h"
#include "core/Log.h"
#include "net/Json.h"
#include "platform/Clock.h"
#include "platform/ModuleThread.h"
#include "platform/Text.h"
#include "platform/ThreadName.h"

namespace brevant {
namespace {

constexpr std::size_t receiveBuffer = 16384;
constexpr std::size_t messageCap = 1024 * 1024;

const char* failureText(platform::WebSocketConnectFailure failure) {
    switch (failure) {
        case platform::WebSocketConnectFailure::SendRequest:
            return "WinHttpSendRequest failed";
        case platform::WebSocketConnectFailure::ReceiveResponse:
            return "WinHttpReceiveResponse failed";
        case platform::WebSocketConnectFailure::Upgrade:
            return "WebSocket upgrade failed";
    }
    return "WebSocket upgrade failed";
}

std::mutex limitsMutex;
WebSocketLimits limits;

}  // namespace

WebSocketLimits webSocketLimits() {
    std::lock_guard lk(limitsMutex);
    return limits;
}

void setWebSocketLimits(const WebSocketLimits& newLimits) {
    std::lock_guard lk(limitsMutex);
    limits = newLimits;
}

namespace {
std::uint64_t nextSerial() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}
}  // namespace

WebSocketClient::WebSocketClient(std::wstring host_, std::wstring path_, std::uint16_t port_)
    : serial(nextSerial()), host(std::move(host_)), path(std::move(path_)), port(port_) {}

WebSocketClient::~WebSocketClient() {
    close();
}

bool WebSocketClient::connect(std::stop_token stop) {
    if (connected.load())
        return true;

    platform::WebSocketOptions options;
    options.host = platform::wideToUtf8(host);
    options.port = port;
    options.path = platform::wideToUtf8(path);
    options.userAgent = "Brevant/1.0";
    const WebSocketLimits now = webSocketLimits();
    options.handshakeTimeout = now.handshake;
    options.closeTimeout = now.close;
    options.readChunk = receiveBuffer;
    options.maxMessageBytes = messageCap;
    options.stop = std::move(stop);

    platform::WebSocketConnectFailure failure{};
    auto connection = platform::WebSocketConnection::connect(options, failure);
    if (!connection) {
        runGuardedCallback("websocket onError", onError, std::string(failureText(failure)));
        releaseOnce(false);
        return false;
    }
    {
        std::lock_guard lk(sendMutex);
        connection_ = std::move(connection);
    }
    connected.store(true);
    // Whatever the opening callback does, the receiver must run, or nothing is ever read.
    runGuardedCallback("websocket onOpen", onOpen);
    // The module stays loaded until the receiver has ended.
    receiverThread = std::thread([this] { platform::runHoldingModule([this] { receiveLoop(); }); });
    return true;
}

platform::WebSocketSendResult WebSocketClient::sendText(const std::string& text,
                                                        std::uint64_t* frame) {
    auto result = platform::WebSocketSendResult::NotOpen;
    std::uint64_t say = 0;
    {
        std::lock_guard lk(sendMutex);
        if (connection_ && connected.load())
            result = connection_->sendText(text, frame);
        // A peer that stops reading fills the queue. A flood is said once a second at most,
        // with how much went since the last line: a frame that fits between two drops does
        // not make a new line.
        if (result == platform::WebSocketSendResult::QueueFull) {
            ++dropped_;
            const std::int64_t now = platform::steadyMillis();
            if (now - droppedLineMs_ >= 1000) {
                say = std::exchange(dropped_, 0);
                droppedLineMs_ = now;
            }
        }
    }
    if (say)
        logLine("[BRV] WS: fila de envio cheia; " + std::to_string(say) +
                " mensagem(ns) descartada(s)");
    return result;
}

std::uint64_t WebSocketClient::framesWritten() {
    std::lock_guard lk(sendMutex);
    return connection_ ? connection_->framesWritten() : 0;
}

WebSocketClient::Ending WebSocketClient::ending() const {
    std::lock_guard lk(endingMutex_);
    return ending_;
}

void WebSocketClient::close(std::chrono::milliseconds within) {
    connected.store(false);
    {
        std::lock_guard lk(sendMutex);
        if (connection_)
            connection_->closeWithin(within);
    }
    if (receiverThread.joinable() && receiverThread.get_id() != std::this_thread::get_id())
        receiverThread.join();
    releaseOnce(true);
}

void WebSocketClient::releaseOnce(bool callOnClose) {
    if (closed.exchange(true))
        return;
    std::unique_ptr<platform::WebSocketConnection> released;
    {
        std::lock_guard lk(sendMutex);
        released = std::move(connection_);
    }
    released.reset();
    if (callOnClose)
        runGuardedCallback("websocket onClose", onClose);
}

void WebSocketClient::receiveLoop() {
    platform::setCurrentThreadName("brv-receiver");
    // Only this thread and close() (after joining it) release the connection, so it stays put
    // while the loop reads.
    platform::WebSocketConnection* connection = nullptr;
    {
        std::lock_guard lk(sendMutex);
        connection = connection_.get();
    }
    using Kind = platform::WebSocketReadResult::Kind;
    // What ended the loop is said only after onClose has run, so that a status set there is in
    // place before the line that tells of it.
    std::function<void()> sayEnding;
    while (connection && connected.load()) {
        auto result = connection->read();
        if (result.kind == Kind::Failed) {
            if (!connected.load())
                break;  // our own close() cut the read: nothing to say
            {
                std::lock_guard lk(endingMutex_);
                ending_ = {true, 0, "WebSocketReceive failed"};
            }
            sayEnding = [this] {
                runGuardedCallback("websocket onError", onError,
                                   std::string("WebSocketReceive failed"));
            };
            break;
        }
        if (result.kind == Kind::Closed) {
            if (connected.load()) {
                // The backend ended it, not us: say how, escaped (its reason is its own text).
                {
                    std::lock_guard lk(endingMutex_);
                    ending_ = {true, result.closeCode, result.data};
                }
                sayEnding = [code = result.closeCode, reason = std::move(result.data)] {
                    runGuarded("websocket close", [&] {
                        logLine("[BRV] WS fechado pelo backend (" +
                                (code ? std::to_string(code) : std::string("sem codigo")) +
                                "): " + escapedForLog(validUtf8(reason)));
                    });
                };
            }
            break;
        }
        runGuardedCallback("websocket onFrame", onFrame);
        if (result.kind == Kind::TooLarge) {
            runGuarded("websocket receive", [&] {
                logLine("[BRV] WS: mensagem de " + std::to_string(result.size) +
                        " bytes descartada (limite de " + std::to_string(messageCap) + " bytes)");
            });
        } else if (result.kind == Kind::Text && connected.load()) {
            // Once close() has begun, what still arrives is not handled: the plugin is going.
            runGuarded("websocket onMessage", [&] {
                if (onMessage)
                    onMessage(std::move(result.data));
            });
        }
    }
    connected.store(false);
    releaseOnce(true);
    if (sayEnding)
        sayEnding();
}

}  // namespace brevant

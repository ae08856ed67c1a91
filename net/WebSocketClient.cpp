#include "net/WebSocketClient.h"

#include "core/Guard.h"
#include "core/Log.h"
#include "core/Workers.h"
#include "platform/ModuleThread.h"
#include "platform/Text.h"
#include "platform/ThreadName.h"

namespace brevant {
namespace {

constexpr std::size_t receiveBuffer = 16384;
constexpr std::size_t messageCap = 1024 * 1024;

// Runs a callback, if set, behind the failure boundary: the receiver's callbacks run on a
// thread whose end would end the process.
template <typename Callback, typename... Args>
void guarded(const char* where, const Callback& callback, const Args&... args) {
    runGuarded(where, [&] {
        if constexpr (std::is_constructible_v<bool, const Callback&>) {
            if (!callback)
                return;
        }
        callback(args...);
    });
}

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

WebSocketClient::WebSocketClient(std::wstring host_, std::wstring path_, std::uint16_t port_)
    : host(std::move(host_)), path(std::move(path_)), port(port_) {}

WebSocketClient::~WebSocketClient() {
    close();
}

bool WebSocketClient::connect() {
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
    // The lookup thread may outlive this call and returns into the module: count it.
    options.startResolverThread = [](std::function<void()> lookup) {
        startWorker(std::move(lookup));
    };

    platform::WebSocketConnectFailure failure{};
    auto connection = platform::WebSocketConnection::connect(options, failure);
    if (!connection) {
        guarded("websocket onError", onError, std::string(failureText(failure)));
        releaseOnce(false);
        return false;
    }
    {
        std::lock_guard lk(sendMutex);
        connection_ = std::move(connection);
    }
    connected.store(true);
    // Whatever the opening callback does, the receiver must run, or nothing is ever read.
    guarded("websocket onOpen", onOpen);
    // The module stays loaded until the receiver has ended.
    receiverThread = std::thread([this] { platform::runHoldingModule([this] { receiveLoop(); }); });
    return true;
}

platform::WebSocketSendResult WebSocketClient::sendText(const std::string& text) {
    auto result = platform::WebSocketSendResult::NotOpen;
    {
        std::lock_guard lk(sendMutex);
        if (connection_ && connected.load())
            result = connection_->sendText(text);
    }
    // A peer that stops reading fills the queue; say so once until a frame fits again.
    if (result == platform::WebSocketSendResult::QueueFull) {
        if (!queueFull_.exchange(true))
            logLine("[BRV] WS: fila de envio cheia; mensagem descartada");
    } else if (result == platform::WebSocketSendResult::Queued) {
        queueFull_.store(false);
    }
    return result;
}

void WebSocketClient::close() {
    connected.store(false);
    {
        std::lock_guard lk(sendMutex);
        if (connection_)
            connection_->close();
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
        guarded("websocket onClose", onClose);
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
    while (connection && connected.load()) {
        auto result = connection->read();
        if (result.kind == Kind::Failed) {
            guarded("websocket onError", onError, std::string("WebSocketReceive failed"));
            break;
        }
        if (result.kind == Kind::Closed)
            break;
        if (result.kind == Kind::TooLarge) {
            guarded("websocket receive", [&] {
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
}

}  // namespace brevant

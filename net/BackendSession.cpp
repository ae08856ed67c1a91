#include "net/BackendSession.h"

#include <memory>
#include <mutex>
#include <utility>

#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Log.h"
#include "net/BackendEndpoint.h"
#include "net/Json.h"
#include "net/MessagePipeline.h"
#include "net/WebSocketClient.h"

namespace brevant {
namespace {

// wsClient is replaced and emptied only on the game thread. Other threads copy it under
// clientMutex and send with the copy after letting the lock go; the client's own send lock is
// the only one held while sending. A client is closed (its receiver joined) on the game thread
// before that thread lets go of it, so the last copy never dies on the receiver thread.
std::mutex clientMutex;
std::shared_ptr<WebSocketClient> wsClient;
// The client's dispatch thread: the handlers of what its receiver routed.
std::shared_ptr<MessagePipeline> wsPipeline;

// Ends a client the game thread let go of: its receiver first (nothing more is routed), then
// its dispatch thread, which drops what still waits.
void endSession(std::shared_ptr<WebSocketClient> client,
                std::shared_ptr<MessagePipeline> pipeline) {
    if (client)
        client->close();  // joins the receiver, which may be sending: no lock is held here
    if (pipeline)
        pipeline->stop();
    client.reset();  // the last handle: the client goes here, on the game thread
}

std::shared_ptr<WebSocketClient> currentClient() {
    std::lock_guard lk(clientMutex);
    return wsClient;
}

}  // namespace

void startBackendSession(std::span<const MessageRoute> routes, std::function<void()> afterHello) {
    runGuarded("backend session", [&] {
        if (!globalGameWrapper.load())
            return;  // the plugin was unloaded meanwhile
        const auto& endpoint = backendEndpoint();
        auto client =
            std::make_shared<WebSocketClient>(endpoint.backendHost, L"/ws", endpoint.webSocketPort);
        auto pipeline = std::make_shared<MessagePipeline>(routes);
        if (!pipeline->start("brv-dispatch"))
            return;
        client->onOpen = [afterHello = std::move(afterHello)] {
            sendHello();
            if (afterHello)
                afterHello();
        };
        // The receiver hands each text over; the dispatch thread parses and handles it.
        client->onMessage = [pipeline = pipeline.get()](std::string text) {
            pipeline->push(std::move(text));
        };
        client->onClose = [] {};
        client->onError = [](const std::string& error) { logLine("[BRV] WS error: " + error); };

        std::shared_ptr<WebSocketClient> previous;
        std::shared_ptr<MessagePipeline> previousPipeline;
        {
            std::lock_guard lk(clientMutex);
            previous = std::exchange(wsClient, client);
            previousPipeline = std::exchange(wsPipeline, pipeline);
        }
        endSession(std::move(previous), std::move(previousPipeline));

        client->connect();
    });
}

void sendHello() {
    const auto game = globalGameWrapper.load();
    if (!game)
        return;
    GameWrapper& gw = *game;
    const char* platformName = gw.IsUsingSteamVersion()  ? "steam"
                               : gw.IsUsingEpicVersion() ? "epic"
                                                         : "unknown";
    json hello = {
        {"t", "hello"},
        {"version", pluginVersion},
        {"deviceId", deviceId},
        {"epicId", gw.GetEpicID()},
        {"steamId", std::to_string(gw.GetSteamID())},
        {"platform", platformName},
    };
    sendToBackend(dumpJson(hello));
    logLine("[BRV] Concetado");
}

void stopBackendSession() {
    std::shared_ptr<WebSocketClient> client;
    std::shared_ptr<MessagePipeline> pipeline;
    {
        // Other threads keep their copies until they are done sending; the client is closed
        // and let go of here, on the game thread.
        std::lock_guard lk(clientMutex);
        client = wsClient;
        pipeline = wsPipeline;
    }
    if (!client)
        return;
    client->close();
    if (pipeline)
        pipeline->stop();
    {
        std::lock_guard lk(clientMutex);
        wsClient.reset();
        wsPipeline.reset();
    }
    client.reset();  // the last handle: the client goes here, on the game thread
}

const char* notSentReason(SendOutcome outcome) {
    switch (outcome) {
        case SendOutcome::Sent:
            return "";
        case SendOutcome::NoSession:
            return "sem conexao";
        case SendOutcome::QueueFull:
            return "fila cheia";
    }
    return "sem conexao";
}

SendOutcome sendToBackend(const std::string& text) {
    const auto client = currentClient();
    if (!client)
        return SendOutcome::NoSession;
    switch (client->sendText(text)) {
        case platform::WebSocketSendResult::Queued:
            return SendOutcome::Sent;
        case platform::WebSocketSendResult::QueueFull:
            return SendOutcome::QueueFull;
        case platform::WebSocketSendResult::NotOpen:
            break;
    }
    return SendOutcome::NoSession;
}

bool backendClientExists() {
    return currentClient() != nullptr;
}

bool backendConnected() {
    auto client = currentClient();
    return client && client->isConnected();
}

void answerPing(const json&) {
    if (backendClientExists())
        sendToBackend(R"({"t":"pong"})");
}

}  // namespace brevant

#include "net/BackendSession.h"

#include <memory>
#include <mutex>

#include "net/BackendEndpoint.h"
#include "net/Dispatcher.h"
#include "net/Json.h"
#include "net/WebSocketClient.h"
#include "plugin/Brevant.h"
#include "plugin/Globals.h"
#include "plugin/Log.h"

namespace brevant {
namespace {

// wsClient is replaced and destroyed only on the game thread; other threads reach it under
// clientMutex, which is never held while the client closes (its receiver thread may be sending).
std::mutex clientMutex;
std::unique_ptr<WebSocketClient> wsClient;

}  // namespace

void startBackendSession(Brevant& plugin) {
    try {
        if (!globalGameWrapper.load())
            return;
        const auto& endpoint = backendEndpoint();
        auto client =
            std::make_unique<WebSocketClient>(endpoint.backendHost, L"/ws", endpoint.webSocketPort);
        WebSocketClient* raw = client.get();
        std::unique_ptr<WebSocketClient> previous;
        {
            std::lock_guard lk(clientMutex);
            previous = std::move(wsClient);
            wsClient = std::move(client);
        }
        previous.reset();  // closes it

        Brevant* self = &plugin;
        raw->onOpen = [self] { sendHello(*self); };
        raw->onMessage = [self](const std::string& text) { dispatchMessage(*self, text); };
        raw->onClose = [] {};
        raw->onError = [](const std::string& error) { logLine("[BRV] WS error: " + error); };
        raw->connect();
    } catch (...) {
    }
}

void sendHello(Brevant& plugin) {
    GameWrapper& gw = *plugin.gameWrapper;
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
    if (plugin.cvarManager)
        plugin.cvarManager->log("[BRV] Concetado");
}

void stopBackendSession() {
    WebSocketClient* client = nullptr;
    {
        std::lock_guard lk(clientMutex);
        client = wsClient.get();
    }
    if (!client)
        return;
    client->close();  // joins the receiver, which may still be sending: no lock held here
    std::unique_ptr<WebSocketClient> gone;
    {
        std::lock_guard lk(clientMutex);
        gone = std::move(wsClient);
    }
}

void sendToBackend(const std::string& text) {
    std::lock_guard lk(clientMutex);
    if (wsClient)
        wsClient->sendText(text);
}

bool backendClientExists() {
    std::lock_guard lk(clientMutex);
    return wsClient != nullptr;
}

bool backendConnected() {
    std::lock_guard lk(clientMutex);
    return wsClient && wsClient->isConnected();
}

}  // namespace brevant

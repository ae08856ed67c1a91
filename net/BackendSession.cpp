#include "net/BackendSession.h"

#include <memory>
#include <mutex>
#include <utility>

#include "net/BackendEndpoint.h"
#include "net/Dispatcher.h"
#include "net/Json.h"
#include "net/WebSocketClient.h"
#include "plugin/Brevant.h"
#include "plugin/Globals.h"
#include "plugin/Log.h"

namespace brevant {
namespace {

// wsClient is replaced and emptied only on the game thread. Other threads copy it under
// clientMutex and send with the copy after letting the lock go; the client's own send lock is
// the only one held while sending. A client is closed (its receiver joined) on the game thread
// before that thread lets go of it, so the last copy never dies on the receiver thread.
std::mutex clientMutex;
std::shared_ptr<WebSocketClient> wsClient;

std::shared_ptr<WebSocketClient> currentClient() {
    std::lock_guard lk(clientMutex);
    return wsClient;
}

}  // namespace

void startBackendSession(Brevant& plugin) {
    try {
        if (!globalGameWrapper.load())
            return;  // the plugin was unloaded meanwhile
        const auto& endpoint = backendEndpoint();
        auto client =
            std::make_shared<WebSocketClient>(endpoint.backendHost, L"/ws", endpoint.webSocketPort);
        Brevant* self = &plugin;
        client->onOpen = [self] { sendHello(*self); };
        client->onMessage = [self](const std::string& text) { dispatchMessage(*self, text); };
        client->onClose = [] {};
        client->onError = [](const std::string& error) { logLine("[BRV] WS error: " + error); };

        std::shared_ptr<WebSocketClient> previous;
        {
            std::lock_guard lk(clientMutex);
            previous = std::exchange(wsClient, client);
        }
        if (previous)
            previous->close();
        previous.reset();

        client->connect();
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
    auto client = currentClient();
    if (!client)
        return;
    client->close();  // joins the receiver, which may be sending: no lock is held here
    {
        std::lock_guard lk(clientMutex);
        wsClient.reset();
    }
    client.reset();  // the last handle: the client goes here, on the game thread
}

void sendToBackend(const std::string& text) {
    if (auto client = currentClient())
        client->sendText(text);
}

bool backendClientExists() {
    return currentClient() != nullptr;
}

bool backendConnected() {
    auto client = currentClient();
    return client && client->isConnected();
}

}  // namespace brevant

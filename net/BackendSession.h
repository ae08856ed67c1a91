#pragma once
// The plugin's one WebSocket session with the backend: opened 0.3 s after load, never
// reconnected, closed at unload. Every part of the plugin sends through it.
#include <string>

class GameWrapper;

namespace brevant {

class Brevant;

// Game thread: makes the client, installs its callbacks and connects. Does nothing once the
// plugin has been unloaded.
void startBackendSession(Brevant& plugin);
// The client's onOpen: says "hello" on the game thread.
void sendHello(Brevant& plugin);
// Game thread, at unload: closes the client and destroys it.
void stopBackendSession();

// Sends one text while the session is connected; otherwise drops it. Any thread.
void sendToBackend(const std::string& text);
// Whether a client exists / exists and is connected. Any thread.
bool backendClientExists();
bool backendConnected();

}  // namespace brevant

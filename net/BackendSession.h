#pragma once
// The plugin's one WebSocket session with the backend: opened 0.3 s after load, never
// reconnected, closed at unload. Every part of the plugin sends through it.
#include <functional>
#include <span>
#include <string>

#include "net/Dispatcher.h"

namespace brevant {

// Game thread: makes the client, installs its callbacks and connects. Received texts are
// dispatched through `routes`, which must outlive the session. Once a connection is open and
// "hello" said, `afterHello` runs (on the thread that connected). Does nothing once the plugin
// has been unloaded.
void startBackendSession(std::span<const MessageRoute> routes,
                         std::function<void()> afterHello = {});
// The client's onOpen: says "hello" on the game thread, reading the game through the global
// handle.
void sendHello();
// Game thread, at unload: closes the client and destroys it.
void stopBackendSession();

// What became of a text handed to the session.
enum class SendOutcome {
    Sent,       // the connection took it
    NoSession,  // no client, or it is not connected: dropped
    QueueFull,  // the peer stopped reading and the send queue is at its bound: dropped
};
// Why a text was not sent, for a log line ("sem conexao", "fila cheia"); empty when it was.
const char* notSentReason(SendOutcome outcome);

// Sends one text while the session is connected; otherwise drops it. Any thread.
SendOutcome sendToBackend(const std::string& text);
// Whether a client exists / exists and is connected. Any thread.
bool backendClientExists();
bool backendConnected();

// "ping": answered with "pong" while a client exists. Dispatch thread.
void answerPing(const json& msg);

}  // namespace brevant

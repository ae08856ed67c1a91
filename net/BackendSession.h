#pragma once
// The plugin's WebSocket session with the backend. A thread of its own ("brv-connector") opens it
// 0.3 s after load, and again when asked (brv_ws_connect, the window's button) and, when the
// setting allows, by itself after it closes or fails, with backoff (1 s doubling to 60 s, full
// jitter; back to 1 s once a session lived 60 s). A close by the backend with code 1008 (a newer
// connection of the same device took over) is never reopened by itself, so two clients of one
// device do not take the session from each other in turn. Every part of the plugin sends through
// it; unload closes it and stops the connector within moments.
//
// A connection can die without a word (a router that forgot the flow, a laptop that slept): the
// backend's pings tell. The session takes the backend's ping period as the longest of the last
// three gaps between its pings; once it has seen two, a silence (no frame at all) longer than
// three periods, and at least 20 s, closes the connection as a failed one, which then reopens as
// after any loss when the setting allows. A backend that has not pinged twice has no such limit.
// The period outlives the connection it was seen on: the next one is watched from its open (a
// connection can die before its first ping), unless the last one was closed on that period
// without a ping of its own (the backend may have stopped pinging).
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "net/Dispatcher.h"

namespace brevant {

struct SessionSetup {
    // Received texts are dispatched through these; they must outlive the session.
    std::span<const MessageRoute> routes;
    // Run on the opening thread once a connection is open, before anything else is sent: the
    // plugin's "hello" and what follows it. It must not touch the game: opens run off its thread.
    std::function<void()> onOpen;
    // Asked each time a session closes or an open fails: open it again by itself? Any thread.
    std::function<bool()> reconnect;
};

// Game thread, 0.3 s after load: starts the connector, which opens the session on its own
// thread; this returns at once. Replaces a session already there. Does nothing once the plugin
// has been unloaded.
void startBackendSession(SessionSetup setup);
// The same with no reconnection.
void startBackendSession(std::span<const MessageRoute> routes, std::function<void()> onOpen = {});
// Game thread, at unload: stops the connector (an open under way ends at once), then closes the
// client and destroys it.
void stopBackendSession();
// Opens the session again on the connector's thread unless it is open or opening. Any thread;
// never waits. False when there was nothing to do.
bool connectNow();

// What the status panel and brv_status show of the connection.
struct SessionStatus {
    enum class State { NotStarted, Connecting, Connected, Closed, Waiting };
    State state = State::NotStarted;
    // Plugin clock: when it connected; or, while it is down, when the connection was lost (from
    // start when it never opened), however many opens failed since.
    std::int64_t sinceMs = 0;
    std::int64_t retryAtMs = 0;  // Waiting: when the next open begins
    int attempts = 0;            // opens that failed since it went down
    int closeCode = 0;           // the backend's code of the last close (0: none)
    std::string closeReason;     // escaped for display
    std::string error;           // the last failed open's text ("WinHttpSendRequest failed")
    bool replaced = false;       // closed with 1008: not reopened by itself
    // Connected: the backend's ping period (0 until it has pinged twice) and when its last frame
    // came (plugin clock), as they are when the status is read.
    std::int64_t pingPeriodMs = 0;
    std::int64_t lastFrameMs = 0;
};
// The status as of the last change, never older: each change is published before any line that
// tells of it is logged. Never waits for the session.
SessionStatus sessionStatus();

// What became of a text handed to the session.
enum class SendOutcome {
    Sent,       // the connection took it
    NoSession,  // no client, or it is not connected: dropped
    QueueFull,  // the peer stopped reading and the send queue is at its bound: dropped
};
// Why a text was not sent, for a log line ("sem conexao", "fila cheia"); empty when it was.
const char* notSentReason(SendOutcome outcome);

// A frame the session took: which connection, and its number there.
struct SentFrame {
    std::uint64_t session = 0;
    std::uint64_t frame = 0;
};
// Sends one text while the session is connected; otherwise drops it. A text taken is described
// in `sent`, when given. Any thread.
SendOutcome sendToBackend(const std::string& text, SentFrame* sent = nullptr);
// Whether that frame has been written to the socket by the connection that is still open.
// Any thread; never waits for the network.
bool frameWritten(const SentFrame& sent);
// Whether the connection numbered `session` is still the open one. Any thread.
bool sessionOpen(std::uint64_t session);
// Whether the connection numbered `session` is the open one and the backend has pinged on it.
// Any thread.
bool sessionPinged(std::uint64_t session);
// Whether a client exists / exists and is connected. Any thread.
bool backendClientExists();
bool backendConnected();

// "ping": counted for the session's liveness, and answered with "pong" while a client exists.
// Dispatch thread.
RouteOutcome answerPing(const json& msg);

}  // namespace brevant

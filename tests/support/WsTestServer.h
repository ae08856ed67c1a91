#pragma once
// A WebSocket server on 127.0.0.1 (ephemeral port) run by its own thread, scripted by tests.
// It records what clients send and sends what the test asks for. Whatever a client does, the
// server only records it; it never throws or crashes.
//
// The handshake behaviour set by acceptUpgrades()/answerHttp()/... applies to connections
// accepted from then on. The send*/drop actions apply to the newest connection, in call order,
// and are silently ignored when it is gone.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class WsTestServer {
public:
    using Timeout = std::chrono::milliseconds;
    // Waits end as soon as their condition holds; this long only when something is wrong.
    static constexpr Timeout kWait{10000};

    // An upgrade (or other HTTP) request as the server received it.
    struct Request {
        std::string method;
        std::string target;
        std::string host;
        std::string userAgent;  // empty when absent
        bool webSocketUpgrade = false;
    };

    WsTestServer();
    // On that port of 127.0.0.1: a server that comes back where an earlier one was.
    explicit WsTestServer(std::uint16_t port);
    ~WsTestServer();
    WsTestServer(const WsTestServer&) = delete;
    WsTestServer& operator=(const WsTestServer&) = delete;

    std::uint16_t port() const;
    // A port on 127.0.0.1 where nothing listens (bound and released again).
    static std::uint16_t unusedPort();

    // --- How the handshake of new connections is answered ---
    void acceptUpgrades();  // a normal WebSocket upgrade (the default)
    // Upgrades, then never reads: what the client sends, a close frame included, stays
    // unanswered (sending to the client still works).
    void acceptUpgradesWithoutReading();
    // Reads the request, answers with these bytes as they are, then closes the connection.
    void answerRaw(std::string response);
    // Reads the request, answers with a plain HTTP response carrying `body`, then closes.
    void answerHttp(unsigned status, std::string body);
    // Reads the request and never answers (the connection stays open).
    void stallHandshakes();
    // Reads the request, then closes the connection without answering.
    void hangUpOnRequest();

    // --- What the server saw (all connections together) ---
    std::size_t connectionCount() const;        // TCP connections accepted
    std::size_t endedConnectionCount() const;   // connections the server saw end
    std::vector<Request> requests() const;      // requests read, in arrival order
    std::vector<std::string> messages() const;  // text messages received, in arrival order
    std::size_t binaryCount() const;            // binary messages received
    std::size_t pongCount() const;              // pongs received
    std::vector<int> closeCodes() const;        // codes of close frames received

    // Bounded waits: true once the count is reached, false when the time ran out.
    bool waitForConnections(std::size_t count, Timeout timeout = kWait) const;
    bool waitForEndedConnections(std::size_t count, Timeout timeout = kWait) const;
    bool waitForRequests(std::size_t count, Timeout timeout = kWait) const;
    bool waitForMessages(std::size_t count, Timeout timeout = kWait) const;
    bool waitForPongs(std::size_t count, Timeout timeout = kWait) const;
    bool waitForCloseCodes(std::size_t count, Timeout timeout = kWait) const;

    // --- Sent to the newest connection once it is a WebSocket ---
    void sendText(std::string text);  // one message in one frame
    // One text message split into frames of at most frameBytes (the last may be shorter).
    void sendFragmentedText(std::string text, std::size_t frameBytes);
    void sendBinary(std::string bytes);
    void sendPing(std::string payload = {});
    // Starts the closing handshake with that code and reason.
    void sendClose(int code = 1000, std::string reason = {});
    // Ends the newest connection at once with a TCP reset, without a close frame.
    void dropConnection();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support

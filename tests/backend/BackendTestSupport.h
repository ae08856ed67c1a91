#pragma once
// Loopback clients for the backend's tests: a WebSocket client on the plugin's own transport that
// records what it receives, a bare one that reads only when asked, HTTP exchanges, and raw TCP
// for requests no client sends.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "backend/Server.h"
#include "platform/WebSocketTransport.h"
#include "tests/support/TempDir.h"

namespace backend_test {

using Json = nlohmann::json;
constexpr std::chrono::milliseconds kWait{5000};

class WsClient {
public:
    explicit WsClient(std::uint16_t port);
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    bool connected() const { return connection_ != nullptr; }
    void send(const std::string& text);
    void hello(const std::string& deviceId, const std::string& platform = "steam");

    std::vector<std::string> messages() const;
    std::size_t count() const;
    // Index of the first message at or after `from` that satisfies `match`, waiting for it.
    std::optional<std::size_t> waitFor(const std::function<bool(const std::string&)>& match,
                                       std::size_t from = 0) const;
    // Index of the first message of type `type` ("t") at or after `from`.
    std::optional<std::size_t> waitForType(const std::string& type, std::size_t from = 0) const;
    bool waitClosed() const;

private:
    std::unique_ptr<platform::WebSocketConnection> connection_;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> messages_;
    bool closed_ = false;
};

// A WebSocket client on a bare Beast stream, for what the plugin's transport does not show: it
// reads only when asked (a client that stopped reading), and it tells the close code.
class BareWsClient {
public:
    // `receiveBuffer` > 0 sets the socket's receive buffer, so that a client that does not read
    // holds back the server's writes soon. `from` is the loopback address it connects from
    // (any of 127.0.0.0/8), for the limits per address.
    explicit BareWsClient(std::uint16_t port, int receiveBuffer = 0,
                          const char* from = "127.0.0.1");
    ~BareWsClient();
    BareWsClient(const BareWsClient&) = delete;
    BareWsClient& operator=(const BareWsClient&) = delete;

    bool connected() const;
    void send(const std::string& text);
    void hello(const std::string& deviceId);
    // Reads and drops messages until the server closes: its close code, or nullopt when the
    // connection failed or ended otherwise, or kWait passed.
    std::optional<unsigned> closeCode();
    // Reads messages until one satisfies `match` (true) or the connection ends or kWait passes.
    bool readUntil(const std::function<bool(const std::string&)>& match);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A plain TCP connection to 127.0.0.1:port, from the loopback address `from`.
class TcpClient {
public:
    explicit TcpClient(std::uint16_t port, const char* from = "127.0.0.1");
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool connected() const { return connected_; }
    bool send(std::string_view bytes);
    // Waits up to `timeout` for the server to close (true) while dropping what arrives.
    bool closedWithin(std::chrono::milliseconds timeout);
    // Reads until `enough` holds for what arrived, the server closes, or kWait passes.
    std::string readUntil(const std::function<bool(const std::string&)>& enough);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool connected_ = false;
    std::string received_;
};

// The "t" of a JSON message, or "" when it has none.
std::string typeOf(const std::string& text);

struct HttpAnswer {
    bool answered = false;
    unsigned status = 0;
    std::string body;
    Json json() const { return Json::parse(body, nullptr, false); }
};
HttpAnswer httpGet(std::uint16_t port, const std::string& target);
HttpAnswer httpPost(std::uint16_t port, const std::string& target, const std::string& body,
                    const std::string& extraHeaders = {});
// POST /admin as a script would send it (with the admin header).
HttpAnswer adminPost(std::uint16_t port, const std::string& command);

// Sends `bytes` on a new connection and returns everything received until the server closes
// (or kWait passes).
std::string rawExchange(std::uint16_t port, const std::string& bytes);
// Sends `bytes` on a new connection and returns what arrived up to the end of the first
// response head (or until the server closes, or kWait passes).
std::string rawResponseHead(std::uint16_t port, const std::string& bytes);

// A backend on ephemeral loopback ports with its own upload folder; options may be changed
// before start(). Tests call ASSERT_TRUE(start()) so that a failed start ends them.
class BackendTest : public ::testing::Test {
protected:
    BackendTest();
    [[nodiscard]] bool start();
    const brevant::backend::Ports& ports() const { return ports_; }

    testing_support::TempDir dir_{"brevant-backend-test"};
    brevant::backend::Options options_;
    std::unique_ptr<brevant::backend::Server> server_;

private:
    brevant::backend::Ports ports_;
};

}  // namespace backend_test

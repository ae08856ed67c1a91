#pragma once
// The plugin in the stand-in host, connected to a loopback WebSocket server standing for the
// backend, and paired: what the feature tests that take orders or send messages start from.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "tests/support/TestHost.h"
#include "tests/support/WsTestServer.h"

namespace testing_support {

class ConnectedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        brevant::setBackendEndpointForTests({L"127.0.0.1", server.port(), 1, 1, 1});
        connect();
    }
    // A restart of the game: the plugin unloads, loads again, connects and is paired.
    void restart() {
        host.unload();
        connect();
    }
    // Loads the plugin, waits for its hello and the load-time pairing check, then pairs it.
    void connect() {
        const auto hellos = server.messages().size() + 1;
        host.load();
        host.advance(0.3);
        ASSERT_TRUE(server.waitForMessages(hellos));
        host.settle();
        brevant::paired = true;
    }
    // Sends `text` from the backend and waits until the receiver has handled it and the game
    // thread has run what it posted (the receiver handles texts in order).
    void fromBackend(const std::string& text) {
        const auto before = count(R"({"t":"pong"})");
        server.sendText(text);
        server.sendText(R"({"t":"ping"})");
        ASSERT_TRUE(host.pumpUntil([&] { return count(R"({"t":"pong"})") > before; }));
        host.rt().runPosted();
    }
    // The backend shows it has lived past everything it was sent: two pings once all of it has
    // arrived. The outbox then lets go of the results it sent.
    void backendLivesPast() {
        received("game_result");
        const auto before = count(R"({"t":"pong"})");
        server.sendText(R"({"t":"ping"})");
        server.sendText(R"({"t":"ping"})");
        ASSERT_TRUE(host.pumpUntil([&] { return count(R"({"t":"pong"})") >= before + 2; }));
    }
    // How many messages equal to `text` the backend has received so far.
    std::size_t count(const std::string& text) const {
        const auto all = server.messages();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), text));
    }
    // Every message of type `t` the backend has received, once everything sent before this call
    // has arrived.
    std::vector<std::string> received(const std::string& t) {
        brevant::sendToBackend("{}");  // a marker behind everything already sent
        const auto marker = ++markers_;
        EXPECT_TRUE(host.pumpUntil([&] { return count("{}") >= marker; }));
        std::vector<std::string> out;
        for (const auto& m : server.messages())
            if (m.find(R"("t":")" + t + '"') != std::string::npos)
                out.push_back(m);
        return out;
    }

    WsTestServer server;
    TestHost host;

private:
    std::size_t markers_ = 0;
};

}  // namespace testing_support

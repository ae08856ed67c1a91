#pragma once
// The plugin in the stand-in host, paired, with a backend on loopback and a five-map series
// running in the private match "Sala", the game on "Stadium_P".
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/Globals.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "tests/support/TestHost.h"
#include "tests/support/WsTestServer.h"

namespace testing_support {

class RotationFixture : public ::testing::Test {
protected:
    void SetUp() override {
        brevant::setBackendEndpointForTests({L"127.0.0.1", server.port(), 1, 1, 1});
        host.load();
        host.advance(0.3);
        ASSERT_TRUE(server.waitForMessages(1));  // hello
        host.settle();                           // the load-time pairing check is over
        brevant::paired = true;
        host.game().enterPrivateMatch("Sala", "Stadium_P");
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Sala";
        brevant::rotationState.rotation = brevant::rotationMapsMd5;
        brevant::rotationState.lastMap = "Stadium_P";
        brevant::rotationState.nextIdx = 3;
        brevant::rotationState.enabled = true;
    }
    GameWrapper& gw() { return *brevant::globalGameWrapper.load(); }
    std::string lastMap() {
        std::lock_guard lk(brevant::hostingMutex);
        return brevant::rotationState.lastMap;
    }
    // The maps the game was asked to put into the match, in order.
    std::vector<std::string> updates() {
        std::vector<std::string> maps;
        for (const auto& s : host.game().matchmaking.updates)
            maps.push_back(s.MapName);
        return maps;
    }
    // Every message of type `t` the backend has received so far, once everything sent before
    // this call has arrived.
    std::vector<std::string> received(const std::string& t) {
        brevant::sendToBackend("{}");  // a marker behind everything already sent
        const auto marker = ++markers;
        EXPECT_TRUE(host.pumpUntil([&] {
            const auto all = server.messages();
            return static_cast<std::size_t>(std::count(all.begin(), all.end(), "{}")) >= marker;
        }));
        std::vector<std::string> out;
        for (const auto& m : server.messages())
            if (m.find(R"("t":")" + t + '"') != std::string::npos)
                out.push_back(m);
        return out;
    }
    // Sends `text` from the backend and waits until the receiver has handled it and the game
    // thread has run what it posted (the receiver handles texts in order).
    void fromBackend(const std::string& text) {
        const auto before = pongs();
        server.sendText(text);
        server.sendText(R"({"t":"ping"})");
        ASSERT_TRUE(host.pumpUntil([&] { return pongs() > before; }));
        host.rt().runPosted();
    }
    std::size_t pongs() const {
        const auto all = server.messages();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), R"({"t":"pong"})"));
    }

    WsTestServer server;
    TestHost host;
    std::size_t markers = 0;
};

}  // namespace testing_support

// The development override of the backend's address.
#include "net/BackendEndpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(BackendEndpoint, OverrideTextNamesHostAndFourPorts) {
    const auto parsed = brevant::parseBackendEndpoint("127.0.0.1:28080:28081:26567:26566");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->backendHost, L"127.0.0.1");
    EXPECT_EQ(parsed->webSocketPort, 28080);
    EXPECT_EQ(parsed->pairPort, 28081);
    EXPECT_EQ(parsed->rankPort, 26567);
    EXPECT_EQ(parsed->uploadPort, 26566);

    for (const char* bad :
         {"", "127.0.0.1", "127.0.0.1:1:2:3", "127.0.0.1:1:2:3:4:5", ":1:2:3:4", "h:0:2:3:4",
          "h:1:2:3:65536", "h:1:2:3:x", "h:1:2:3:-4", "h:1:2:3: 4", "h:1::3:4"})
        EXPECT_FALSE(brevant::parseBackendEndpoint(bad)) << bad;
}

// A load puts an endpoint in force while the last load's workers still read it.
TEST(BackendEndpoint, ReadByAWorkerWhileALoadReplacesIt) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        while (!done.load())
            EXPECT_FALSE(brevant::backendEndpoint().backendHost.empty());
    });
    for (int i = 0; i < 200; ++i)
        brevant::setBackendEndpointForTests(
            {i % 2 ? L"127.0.0.1" : L"localhost.test.invalid", 1, 1, 1, 1});
    done = true;
    worker.join();
}

}  // namespace

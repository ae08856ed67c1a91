// The session's dispatch thread: texts handed over by the receiver are parsed and handled on it,
// in arrival order, however many arrive at once; stopping drops what still waits.
#include "net/MessagePipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::mutex mutex;
std::condition_variable changed;
std::vector<int> handled;
std::thread::id handledOn;
bool hold = false;

brevant::RouteOutcome record(const brevant::json& msg) {
    std::unique_lock lk(mutex);
    changed.wait(lk, [] { return !hold; });
    handled.push_back(msg.at("n").get<int>());
    handledOn = std::this_thread::get_id();
    changed.notify_all();
    return brevant::handled;
}

const brevant::MessageRoute routes[] = {{"n", record}};

std::string message(int n) {
    return R"({"t":"n","n":)" + std::to_string(n) + "}";
}

bool waitForHandled(std::size_t count) {
    std::unique_lock lk(mutex);
    return changed.wait_for(lk, std::chrono::seconds(10), [&] { return handled.size() >= count; });
}

TEST(MessagePipeline, HandlesEveryMessageInOrderOnItsThreadPastItsCapacity) {
    brevant::MessagePipeline pipeline(routes);
    ASSERT_TRUE(pipeline.start("brv-dispatch"));
    constexpr int count = 3 * static_cast<int>(brevant::MessagePipeline::capacity);
    std::thread receiver([&] {
        for (int n = 0; n < count; ++n)
            pipeline.push(message(n));
    });
    receiver.join();  // past the capacity, it waited for room
    ASSERT_TRUE(waitForHandled(count));
    std::vector<int> expected(count);
    for (int n = 0; n < count; ++n)
        expected[n] = n;
    EXPECT_EQ(handled, expected);
    EXPECT_NE(handledOn, std::this_thread::get_id());
    // The last handler has returned once nothing is left waiting.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pipeline.drained() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    EXPECT_TRUE(pipeline.drained());
}

// One message at a time, each pushed a little later after the last was handled than the one
// before, so that some arrive as the dispatch thread goes to sleep: each must wake it.
TEST(MessagePipeline, AMessagePushedAsTheThreadFallsAsleepWakesIt) {
    brevant::MessagePipeline pipeline(routes);
    ASSERT_TRUE(pipeline.start("brv-dispatch"));
    const auto base = [] {
        std::lock_guard lk(mutex);
        return handled.size();
    }();
    for (int n = 0; n < 3000; ++n) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(n % 300);
        while (std::chrono::steady_clock::now() < until) {
        }
        pipeline.push(message(n));
        ASSERT_TRUE(waitForHandled(base + n + 1)) << "message " << n << " never handled";
    }
}

TEST(MessagePipeline, StoppingDropsWhatWaits) {
    brevant::MessagePipeline pipeline(routes);
    ASSERT_TRUE(pipeline.start("brv-dispatch"));
    std::size_t before = 0;
    {
        std::lock_guard lk(mutex);
        hold = true;
        before = handled.size();
    }
    pipeline.push(message(1));  // its handler waits
    pipeline.push(message(2));
    pipeline.push(message(3));
    std::thread stopper([&] { pipeline.stop(); });
    while (!pipeline.stopRequested())
        std::this_thread::yield();
    {
        std::lock_guard lk(mutex);
        hold = false;
        changed.notify_all();
    }
    stopper.join();
    std::lock_guard lk(mutex);
    EXPECT_LT(handled.size() - before, 3u);
}

}  // namespace

#include "core/Waker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A stop that lands as the waiting thread wakes: the waiter removes its stop callbacks while the
// stopping thread may still be running them, and waits for that run to finish. The Windows
// build's library could lose that wake-up (and the waiter hang) unless it uses its POSIX
// semaphores. Each round stops a little later than the one before, to land in that moment.
TEST(Waker, AStopEndsTheWaitEvenAsItWakes) {
    brevant::Waker waker;
    std::atomic<std::stop_source*> round{nullptr};
    std::atomic<int> ended{0};
    std::atomic<bool> quit{false};
    std::thread waiter([&] {
        for (int n = 1; !quit.load();) {
            if (auto* source = round.exchange(nullptr)) {
                waker.wait(-1, source->get_token());
                ended.store(n++);
            } else {
                std::this_thread::yield();
            }
        }
    });
    int hung = 0;
    for (int n = 1; n <= 4000 && !hung; ++n) {
        std::stop_source source;
        round.store(&source);
        const auto at = std::chrono::steady_clock::now() + std::chrono::microseconds(n % 100);
        while (std::chrono::steady_clock::now() < at) {
        }
        source.request_stop();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ended.load() < n && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        if (ended.load() < n)
            hung = n;
    }
    quit.store(true);
    if (hung)
        waiter.detach();  // stuck for good: it cannot be joined
    else
        waiter.join();
    EXPECT_EQ(hung, 0) << "the wait of that round never ended";
}

}  // namespace

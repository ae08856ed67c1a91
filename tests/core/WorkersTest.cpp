#include "core/Workers.h"

#include "core/Guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

TEST(Workers, CountsRunningWorkersUntilTheyHaveEnded) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> finished{0};
    for (int i = 0; i < 3; ++i) {
        brevant::startWorker("brv-test", [&](std::stop_token) {
            std::unique_lock lk(m);
            cv.wait(lk, [&] { return release; });
            ++finished;
        });
    }
    EXPECT_EQ(brevant::runningWorkers(), 3);
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::milliseconds(20)), 3);
    {
        std::lock_guard lk(m);
        release = true;
    }
    cv.notify_all();
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0);
    EXPECT_EQ(finished.load(), 3);
}

TEST(Workers, AnExceptionEndsOnlyItsWorkerAndIsCounted) {
    brevant::clearSwallowedFailures();
    brevant::startWorker("brv-test",
                         [](std::stop_token) { throw std::runtime_error("worker failed"); });
    EXPECT_EQ(brevant::waitForWorkers(std::chrono::seconds(10)), 0);
    EXPECT_EQ(brevant::swallowedFailures()["worker"], 1);
}

}  // namespace

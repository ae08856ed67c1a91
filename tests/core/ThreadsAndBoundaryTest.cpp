// The loop thread and the failure boundary, on real threads.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <atomic>

#include "core/GameThread.h"
#include "core/Guard.h"
#include "core/LoopThread.h"
#include "tests/support/CoreHost.h"

namespace {

// The calling thread's name as the system keeps it (ASCII names only).
void currentThreadName(char* name, std::size_t size) {
#ifdef _WIN32
    // Looked up: mingw's headers do not declare it.
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR description = nullptr;
    if (get && SUCCEEDED(get(::GetCurrentThread(), &description)) && description) {
        for (std::size_t i = 0; i + 1 < size && description[i]; ++i)
            name[i] = static_cast<char>(description[i]);
        ::LocalFree(description);
    }
#else
    pthread_getname_np(pthread_self(), name, size);
#endif
}

TEST(LoopThread, RunsNamedAndStopEndsItsWaitAtOnce) {
    brevant::LoopThread loop;
    std::atomic<int> rounds{0};
    std::atomic<bool> waitSaidStop{false};
    char name[16] = {};
    ASSERT_TRUE(loop.start("brv-watcher", "watcher", [&](brevant::LoopThread& self) {
        currentThreadName(name, sizeof name);
        while (self.waitFor(std::chrono::hours(1)))
            ++rounds;
        waitSaidStop = true;
    }));
    EXPECT_TRUE(loop.running());
    loop.stop();  // would hang for an hour if the wait ignored the request
    EXPECT_FALSE(loop.running());
    EXPECT_TRUE(waitSaidStop.load());
    EXPECT_EQ(rounds.load(), 0);
    EXPECT_STREQ(name, "brv-watcher");
}

void postACallThatThrows() {
    testing_support::CoreHost host;
    host.installHandles();
    brevant::postToGame([](GameWrapper*) { throw std::runtime_error("posted call failed"); });
    host.rt().runPosted();
    EXPECT_EQ(brevant::swallowedFailures()["posted call"], 1);
}

TEST(FailureBoundary, AnUndeclaredSwallowFailsTheTestAndADeclaredOneDoesNot) {
    EXPECT_NONFATAL_FAILURE(
        postACallThatThrows(),
        "1 failure(s) swallowed at \"posted call\" that the test did not expect (the last: "
        "\"posted call failed\")");
    testing_support::CoreHost host;
    host.installHandles();
    host.expectSwallowed("posted call");
    brevant::postToGame([](GameWrapper*) { throw 1; });
    host.rt().runPosted();
}

}  // namespace

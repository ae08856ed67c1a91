// A module closed by its host while one of its threads still runs: the thread keeps the module
// mapped until it ends, then the module goes. (Windows: there the host does not wait.)
#include "platform/ModuleThread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/DynamicLibrary.h"

namespace {

#ifdef _WIN32
TEST(ModuleThread, AModuleClosedWhileItsThreadRunsStaysUntilTheThreadEnds) {
    const std::filesystem::path path = BREVANT_HELD_MODULE_PATH;
    platform::DynamicLibrary module;
    std::string error;
    ASSERT_TRUE(module.open(path, error)) << error;
    const auto start = reinterpret_cast<void (*)()>(module.symbol("heldStart"));
    const auto release = reinterpret_cast<void (*)()>(module.symbol("heldRelease"));
    const auto threadId = reinterpret_cast<unsigned long (*)()>(module.symbol("heldThreadId"));
    ASSERT_NE(start, nullptr);
    ASSERT_NE(release, nullptr);
    ASSERT_NE(threadId, nullptr);
    start();
    const HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, threadId());
    ASSERT_NE(thread, nullptr);

    module.close();  // the host lets go while the thread still runs
    EXPECT_TRUE(platform::DynamicLibrary::isLoaded(path));

    release();  // still mapped: the thread's reference keeps the code there
    // The thread gives the last reference back as it exits.
    EXPECT_EQ(::WaitForSingleObject(thread, 10'000), WAIT_OBJECT_0);
    ::CloseHandle(thread);
    EXPECT_FALSE(platform::DynamicLibrary::isLoaded(path));
}
#endif

TEST(ModuleThread, TheBodyRunsOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    std::thread::id ranOn;
    std::thread([&] {
        platform::runHoldingModule([&] { ranOn = std::this_thread::get_id(); });
    }).join();
    EXPECT_NE(ranOn, std::thread::id());
    EXPECT_NE(ranOn, caller);
}

}  // namespace

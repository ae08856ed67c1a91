// A module closed by its host while one of its threads still runs: the thread keeps the module
// mapped until it ends, then the module goes. (Windows: there the host does not wait.)
#include "platform/ModuleThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

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
    ASSERT_NE(start, nullptr);
    ASSERT_NE(release, nullptr);
    start();

    module.close();  // the host lets go while the thread still runs
    EXPECT_TRUE(platform::DynamicLibrary::isLoaded(path));

    release();  // still mapped: the thread's reference keeps the code there
    // The thread gives the last reference back as it exits; nothing tells when, so look.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (platform::DynamicLibrary::isLoaded(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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

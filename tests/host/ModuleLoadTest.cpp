// The built module, loaded the way the host loads it.
#include <gtest/gtest.h>

#include <cstring>

#include "host/PluginLoader.h"
#include "platform/DynamicLibrary.h"
#include "sdk/CVarManagerWrapper.h"
#include "tests/support/TempDir.h"

namespace {

using BakkesMod::Plugin::BakkesModPlugin;

const std::filesystem::path modulePath = BREVANT_MODULE_PATH;

std::shared_ptr<sdk::HostRuntime> manualHost(const std::filesystem::path& data) {
    return sdk::HostRuntime::create({sdk::ClockMode::Manual, data});
}

TEST(Module, DescriptorAndSingleton) {
    platform::DynamicLibrary module;
    std::string error;
    ASSERT_TRUE(module.open(modulePath, error)) << error;
    auto* info = static_cast<BakkesMod::Plugin::PluginInfo*>(module.symbol("exports"));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->apiBuildVersion, 95);
    EXPECT_STREQ(info->className, "Brevant");
    EXPECT_STREQ(info->pluginName, "Brevant - Autohost");
    EXPECT_STREQ(info->pluginVersion, "0.0.2");
    EXPECT_EQ(info->pluginType, 1);
    EXPECT_NE(std::strstr(info->fileName, "VXAPlugin"), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(info->initializeFunc), module.symbol("getPlugin"));
    EXPECT_EQ(reinterpret_cast<void*>(info->deleteFunc), module.symbol("deleteMe"));

    // getPlugin answers one handle to one object, however often it is called.
    const std::uintptr_t first = info->initializeFunc();
    const std::uintptr_t second = info->initializeFunc();
    EXPECT_EQ(first, second);
    auto* handle = reinterpret_cast<std::shared_ptr<BakkesModPlugin>*>(first);
    ASSERT_TRUE(*handle);
    EXPECT_EQ(handle->use_count(), 1);

    // deleteMe lets the object go (the weak handle must go before the module's code does).
    {
        std::weak_ptr<BakkesModPlugin> watch = *handle;
        info->deleteFunc();
        EXPECT_TRUE(watch.expired());
        EXPECT_FALSE(*handle);
    }
    // A later getPlugin makes a new object.
    EXPECT_EQ(info->initializeFunc(), first);
    EXPECT_TRUE(*handle);
    info->deleteFunc();
}

TEST(Module, UnloadReallyClosesTheModuleAndASecondLoadStartsFresh) {
    testing_support::TempDir dir;
    auto rt = manualHost(dir.path());
    std::string error;

    auto first = host::LoadedPlugin::open(modulePath, rt, error);
    ASSERT_TRUE(first) << error;
    first->load();
    const auto cvars = rt->makeCvarManager();
    const std::string id = cvars->getCvar("brv_deviceid").getStringValue();
    EXPECT_EQ(rt->hookedEvents().size(), 4u);
    EXPECT_TRUE(first->unload());
    first.reset();
    EXPECT_FALSE(platform::DynamicLibrary::isLoaded(modulePath));
    EXPECT_TRUE(rt->hookedEvents().empty());

    auto second = host::LoadedPlugin::open(modulePath, rt, error);
    ASSERT_TRUE(second) << error;
    second->load();
    EXPECT_EQ(rt->hookedEvents().size(), 4u);
    EXPECT_EQ(rt->logLines().back(), "[BRV] Bind aplicado: F4 -> togglemenu Brevant");
    EXPECT_EQ(cvars->getCvar("brv_deviceid").getStringValue(), id);  // same data folder
    EXPECT_TRUE(second->unload());
    EXPECT_TRUE(rt->faults().empty());
}

}  // namespace

#pragma once
// What a plugin module offers the host: its descriptor, its object and its windows.
#include <cstdint>
#include <memory>
#include <string>

#include "sdk/Api.h"
#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace BakkesMod::Plugin {

class SDK_API BakkesModPlugin {
public:
    virtual ~BakkesModPlugin();
    virtual void onLoad() = 0;
    virtual void onUnload() {}

    // Filled by the host before onLoad.
    std::shared_ptr<CVarManagerWrapper> cvarManager;
    std::shared_ptr<GameWrapper> gameWrapper;
};

class SDK_API PluginSettingsWindow {
public:
    virtual ~PluginSettingsWindow();
    virtual void RenderSettings() = 0;
    virtual std::string GetPluginName() = 0;
    virtual void SetImGuiContext(std::uintptr_t ctx) = 0;
};

class SDK_API PluginWindow {
public:
    virtual ~PluginWindow();
    virtual void Render() = 0;
    virtual std::string GetMenuName() = 0;
    virtual std::string GetMenuTitle() = 0;
    virtual void SetImGuiContext(std::uintptr_t ctx) = 0;
    virtual bool ShouldBlockInput() = 0;
    virtual bool IsActiveOverlay() = 0;
    virtual void OnOpen() = 0;
    virtual void OnClose() = 0;
};

// The descriptor a module exports under the name "exports".
struct PluginInfo {
    std::int32_t apiBuildVersion;
    const char* fileName;
    const char* className;
    const char* pluginName;
    const char* pluginVersion;
    std::int32_t pluginType;
    // Returns the address of the module's shared handle to its plugin object.
    std::uintptr_t (*initializeFunc)();
    void (*deleteFunc)();
};

}  // namespace BakkesMod::Plugin

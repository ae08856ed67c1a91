#pragma once
// The plugin's settings tab and window, over the host's two window interfaces.
#include <cstdint>
#include <string>

#include "sdk/Plugin.h"

namespace brevant {

class SettingsWindowBase : public BakkesMod::Plugin::PluginSettingsWindow {
public:
    std::string GetPluginName() override;
    void SetImGuiContext(std::uintptr_t ctx) override;
};

class PluginWindowBase : public BakkesMod::Plugin::PluginWindow {
public:
    ~PluginWindowBase() override;
    void Render() override;
    std::string GetMenuName() override;
    std::string GetMenuTitle() override;
    void SetImGuiContext(std::uintptr_t ctx) override;
    bool ShouldBlockInput() override;
    bool IsActiveOverlay() override;
    void OnOpen() override;
    void OnClose() override;
    // The window's body.
    virtual void RenderWindow() = 0;

    bool isWindowOpen() const { return isWindowOpen_; }

protected:
    bool isWindowOpen_ = false;
    std::string menuTitle_;
};

}  // namespace brevant

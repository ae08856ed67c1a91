#pragma once
#include "sdk/Plugin.h"
#include "ui/WindowBases.h"

namespace brevant {

// The plugin object the host creates and drives.
class Brevant : public BakkesMod::Plugin::BakkesModPlugin,
                public SettingsWindowBase,
                public PluginWindowBase {
public:
    Brevant();

    void onLoad() override;
    void onUnload() override;

    void RenderSettings() override;
    void Render() override;
    void RenderWindow() override;

    // The body shared by the settings tab and the window.
    void RenderCommonUI();
};

}  // namespace brevant

// The SDK's plugin bases. Their destructors are defined here so that the type information of
// these classes lives in the SDK library, shared by the host and every module.
#include "sdk/Plugin.h"

namespace BakkesMod::Plugin {

BakkesModPlugin::~BakkesModPlugin() = default;
PluginSettingsWindow::~PluginSettingsWindow() = default;
PluginWindow::~PluginWindow() = default;

}  // namespace BakkesMod::Plugin

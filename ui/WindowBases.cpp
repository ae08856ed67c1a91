#include "ui/WindowBases.h"

namespace brevant {

std::string SettingsWindowBase::GetPluginName() {
    return "Brevant";
}

// The drawing itself arrives with the window's widgets; until then there is no context to keep.
void SettingsWindowBase::SetImGuiContext(std::uintptr_t) {}

PluginWindowBase::~PluginWindowBase() = default;

void PluginWindowBase::Render() {
    RenderWindow();
}

std::string PluginWindowBase::GetMenuName() {
    return "Brevant";
}

std::string PluginWindowBase::GetMenuTitle() {
    return menuTitle_;
}

void PluginWindowBase::SetImGuiContext(std::uintptr_t) {}

bool PluginWindowBase::ShouldBlockInput() {
    return false;
}

bool PluginWindowBase::IsActiveOverlay() {
    return true;
}

void PluginWindowBase::OnOpen() {
    isWindowOpen_ = true;
}

void PluginWindowBase::OnClose() {
    isWindowOpen_ = false;
}

}  // namespace brevant

#include "ui/WindowBases.h"

#include <imgui.h>

#include "core/Globals.h"
#include "sdk/CVarManagerWrapper.h"

namespace brevant {
namespace {

// The host's context becomes this module's current one: the module has its own copy of ImGui.
void useContext(std::uintptr_t ctx) {
    ImGui::SetCurrentContext(reinterpret_cast<ImGuiContext*>(ctx));
}

}  // namespace

std::string SettingsWindowBase::GetPluginName() {
    return "Brevant";
}

void SettingsWindowBase::SetImGuiContext(std::uintptr_t ctx) {
    useContext(ctx);
}

PluginWindowBase::~PluginWindowBase() = default;

void PluginWindowBase::Render() {
    if (ImGui::Begin(menuTitle_.c_str(), &isWindowOpen_, ImGuiWindowFlags_None))
        RenderWindow();
    ImGui::End();
    if (!isWindowOpen_) {
        if (const auto cvars = globalCvarManager.load())
            cvars->executeCommand("togglemenu " + GetMenuName(), true);
    }
}

std::string PluginWindowBase::GetMenuName() {
    return "Brevant";
}

std::string PluginWindowBase::GetMenuTitle() {
    return menuTitle_;
}

void PluginWindowBase::SetImGuiContext(std::uintptr_t ctx) {
    useContext(ctx);
}

bool PluginWindowBase::ShouldBlockInput() {
    if (!ImGui::GetCurrentContext())
        return false;
    const ImGuiIO& io = ImGui::GetIO();
    return io.WantCaptureMouse || io.WantCaptureKeyboard;
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

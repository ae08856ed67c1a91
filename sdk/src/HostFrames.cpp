// The host's frames: its Dear ImGui context, the settings menu with the plugins' tabs and the
// plugin windows. The plugin draws into the host's context through its own copy of ImGui, as
// with the real host, so the context is handed over by pointer.
#include <imgui.h>

#include "sdk/HostRuntime.h"
#include "sdk/Plugin.h"

namespace sdk {
namespace {

using BakkesMod::Plugin::PluginSettingsWindow;
using BakkesMod::Plugin::PluginWindow;

// The clipboard of a host without a desktop: kept in the context's own user data.
struct Clipboard {
    std::string text;
};

const char* getClipboard(void* data) {
    return static_cast<Clipboard*>(data)->text.c_str();
}
void setClipboard(void* data, const char* text) {
    static_cast<Clipboard*>(data)->text = text ? text : "";
}

ImGuiContext* contextOf(void* p) {
    return static_cast<ImGuiContext*>(p);
}

}  // namespace

std::uintptr_t HostRuntime::imguiContext() {
    if (!imgui_) {
        ImGuiContext* previous = ImGui::GetCurrentContext();
        ImGuiContext* ctx = ImGui::CreateContext();
        ImGui::SetCurrentContext(ctx);
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;  // no imgui.ini beside the host program
        io.DisplaySize = ImVec2(1280, 720);
        io.ClipboardUserData = new Clipboard;
        io.GetClipboardTextFn = getClipboard;
        io.SetClipboardTextFn = setClipboard;
        unsigned char* pixels = nullptr;
        int width = 0;
        int height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
        ImGui::SetCurrentContext(previous);
        imgui_ = ctx;
    }
    return reinterpret_cast<std::uintptr_t>(imgui_);
}

void HostRuntime::destroyImGui() {
    if (!imgui_)
        return;
    ImGuiContext* ctx = contextOf(imgui_);
    ImGui::SetCurrentContext(ctx);
    ImGuiIO& io = ImGui::GetIO();
    if (io.GetClipboardTextFn == getClipboard)
        delete static_cast<Clipboard*>(io.ClipboardUserData);
    ImGui::DestroyContext(ctx);
    imgui_ = nullptr;
}

void HostRuntime::registerSettingsWindow(PluginSettingsWindow* window) {
    std::lock_guard lk(consoleMutex_);
    settingsWindows_.push_back(window);
}

bool HostRuntime::isSettingsOpen() const {
    std::lock_guard lk(consoleMutex_);
    return settingsOpen_;
}

ImDrawData* HostRuntime::drawFrame(float deltaSeconds) {
    requireGameThread("HostRuntime::drawFrame");
    const std::uintptr_t handle = imguiContext();
    ImGui::SetCurrentContext(contextOf(imgui_));
    ImGui::GetIO().DeltaTime = deltaSeconds > 0 ? deltaSeconds : 1.0f / 60.0f;

    // Each window gets the context once, before it first draws.
    auto handOver = [&](void* window, const std::function<void()>& give) {
        if (contextHandedTo_.insert(window).second)
            invoke(give, "window");
    };
    bool settingsOpen = false;
    std::vector<PluginSettingsWindow*> tabs;
    std::vector<std::pair<std::string, PluginWindow*>> open;
    {
        std::lock_guard lk(consoleMutex_);
        settingsOpen = settingsOpen_;
        tabs = settingsWindows_;
        for (const auto& [name, window] : windows_)
            if (windowOpen_[name])
                open.emplace_back(name, window);
    }

    ImGui::NewFrame();
    if (settingsOpen) {
        ImGui::SetNextWindowPos(ImVec2(40, 40), ImGuiCond_FirstUseEver);
        ImGui::SetNextWindowSize(ImVec2(640, 360), ImGuiCond_FirstUseEver);
        bool keep = true;
        if (ImGui::Begin("Settings", &keep) && ImGui::BeginTabBar("plugins")) {
            for (PluginSettingsWindow* tab : tabs) {
                std::string name;
                invoke([&] { name = tab->GetPluginName(); }, "settings tab");
                if (ImGui::BeginTabItem(name.c_str())) {
                    handOver(tab, [&] { tab->SetImGuiContext(handle); });
                    invoke([&] { tab->RenderSettings(); }, "settings tab");
                    ImGui::EndTabItem();
                }
            }
            ImGui::EndTabBar();
        }
        ImGui::End();
        if (!keep) {
            std::lock_guard lk(consoleMutex_);
            settingsOpen_ = false;
        }
    }
    for (const auto& entry : open) {
        // Plain names: clang 14 cannot capture structured bindings in the lambdas below.
        const std::string& name = entry.first;
        PluginWindow* window = entry.second;
        std::string title = name;
        invoke([&] { title = window->GetMenuTitle(); }, "window");
        ImGui::SetNextWindowPos(ImVec2(720, 40), ImGuiCond_FirstUseEver);
        ImGui::SetNextWindowSize(ImVec2(520, 330), ImGuiCond_FirstUseEver);
        bool keep = true;
        if (ImGui::Begin((title + "##" + name).c_str(), &keep)) {
            handOver(window, [&] { window->SetImGuiContext(handle); });
            invoke([&] { window->Render(); }, "window");
        }
        ImGui::End();
        if (!keep) {
            {
                std::lock_guard lk(consoleMutex_);
                windowOpen_[name] = false;
            }
            invoke([&] { window->OnClose(); }, "window");
        }
    }
    ImGui::Render();
    return ImGui::GetDrawData();
}

}  // namespace sdk

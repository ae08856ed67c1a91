#pragma once
// Loads a plugin module the way the host does: open the module, read its descriptor `exports`,
// create the plugin through its create function, hand it the two host handles, call onLoad on
// the game thread. Unloading calls onUnload and the destroy function, waits (bounded) for the
// module's worker threads, and closes the module only when none runs any more.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/DynamicLibrary.h"
#include "sdk/HostRuntime.h"
#include "sdk/Plugin.h"

namespace host {

class LoadedPlugin {
public:
    // Opens the module and creates the plugin; nullptr with `error` filled on failure.
    static std::unique_ptr<LoadedPlugin> open(const std::filesystem::path& module,
                                              std::shared_ptr<sdk::HostRuntime> rt,
                                              std::string& error);
    ~LoadedPlugin();

    const BakkesMod::Plugin::PluginInfo& info() const { return *info_; }
    BakkesMod::Plugin::BakkesModPlugin& plugin() const { return *plugin_; }
    // The address getPlugin answered.
    std::uintptr_t handleAddress() const { return handleAddress_; }

    // Fills the handles, registers the plugin's window and calls onLoad on the game thread.
    void load();
    // onUnload, destroy, wait for workers up to workerWait, then close the module when no
    // worker runs. Returns true when the module was closed.
    bool unload(std::chrono::milliseconds workerWait = std::chrono::milliseconds(5000));
    // How long the game thread spent in the last unload (the plugin's onUnload and its
    // destruction): what the game waited for.
    std::chrono::milliseconds gameThreadUnload() const { return gameThreadUnload_; }
    // Waits up to `limit` for the plugin's worker threads to end; returns how many still run.
    int waitForWorkers(std::chrono::milliseconds limit);

private:
    LoadedPlugin() = default;

    std::filesystem::path path_;
    std::shared_ptr<sdk::HostRuntime> rt_;
    platform::DynamicLibrary module_;
    BakkesMod::Plugin::PluginInfo* info_ = nullptr;
    std::uintptr_t handleAddress_ = 0;
    std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> plugin_;
    bool loaded_ = false;
    bool unloaded_ = false;
    std::chrono::milliseconds gameThreadUnload_{0};
};

}  // namespace host

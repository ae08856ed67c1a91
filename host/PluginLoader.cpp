#include "host/PluginLoader.h"

namespace host {

using BakkesMod::Plugin::BakkesModPlugin;
using BakkesMod::Plugin::PluginInfo;
using BakkesMod::Plugin::PluginWindow;

std::unique_ptr<LoadedPlugin> LoadedPlugin::open(const std::filesystem::path& module,
                                                 std::shared_ptr<sdk::HostRuntime> rt,
                                                 std::string& error) {
    std::unique_ptr<LoadedPlugin> lp(new LoadedPlugin);
    lp->path_ = module;
    lp->rt_ = std::move(rt);
    if (!lp->module_.open(module, error))
        return nullptr;
    lp->info_ = static_cast<PluginInfo*>(lp->module_.symbol("exports"));
    if (!lp->info_ || !lp->info_->initializeFunc || !lp->info_->deleteFunc) {
        error = "the module exports no plugin descriptor";
        return nullptr;
    }
    lp->handleAddress_ = lp->info_->initializeFunc();
    auto* handle = reinterpret_cast<std::shared_ptr<BakkesModPlugin>*>(lp->handleAddress_);
    if (!handle || !*handle) {
        error = "the module created no plugin";
        return nullptr;
    }
    lp->plugin_ = *handle;
    return lp;
}

LoadedPlugin::~LoadedPlugin() {
    if (loaded_ && !unloaded_)
        unload();
}

void LoadedPlugin::load() {
    plugin_->cvarManager = rt_->makeCvarManager();
    plugin_->gameWrapper = rt_->makeGameWrapper();
    if (auto* window = dynamic_cast<PluginWindow*>(plugin_.get()))
        rt_->registerWindow(window);
    if (auto* tab = dynamic_cast<BakkesMod::Plugin::PluginSettingsWindow*>(plugin_.get()))
        rt_->registerSettingsWindow(tab);
    loaded_ = true;
    rt_->runOnGameThread([this] { plugin_->onLoad(); });
}

bool LoadedPlugin::unload(std::chrono::milliseconds workerWait) {
    if (unloaded_)
        return !module_.isOpen();
    unloaded_ = true;
    // In one game-thread task, so that no hook, command, window or timer of the plugin can run
    // between its unload and its destruction.
    bool tornDown = false;
    rt_->runOnGameThread([this, &tornDown] {
        const auto started = std::chrono::steady_clock::now();
        try {
            if (loaded_)
                plugin_->onUnload();
        } catch (...) {
            // The plugin must not throw here; it goes all the same.
        }
        rt_->forgetPluginCallbacks();
        plugin_.reset();
        info_->deleteFunc();
        gameThreadUnload_ = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        tornDown = true;
    });
    if (!tornDown) {
        // The game thread stopped first: the plugin may still be alive, so its code stays.
        module_.leak();
        return false;
    }

    const int running = waitForWorkers(workerWait);

    // What the workers posted meanwhile goes too, while the module's code is still there.
    rt_->runOnGameThread([this] { rt_->forgetPluginCallbacks(); });

    if (running > 0) {
        rt_->log("[host] " + std::to_string(running) +
                 " worker thread(s) of the plugin still run; its module stays loaded");
        module_.leak();
        return false;
    }
    module_.close();
    return true;
}

int LoadedPlugin::waitForWorkers(std::chrono::milliseconds limit) {
    using WaitFn = int (*)(int);
    if (auto wait = reinterpret_cast<WaitFn>(module_.symbol("brevantWaitForWorkers")))
        return wait(static_cast<int>(limit.count()));
    return 0;
}

}  // namespace host

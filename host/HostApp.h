#pragma once
// The host program's run, one step after another: the data folder and its lock, the game thread,
// the plugin module, the menus asked for, the window, the console's input, the wait for a stop,
// and the unload.
#include <memory>
#include <string>

#include "host/HostProgramOptions.h"

namespace sdk {
class HostRuntime;
}
namespace platform {
class FileLock;
}

namespace host {

class HostWindow;
class LoadedPlugin;

class HostApp {
public:
    explicit HostApp(HostProgramOptions options);
    ~HostApp();
    HostApp(const HostApp&) = delete;
    HostApp& operator=(const HostApp&) = delete;

    // Runs to the end; the program's exit code.
    int run();

    // What the console's input thread shares with the program (defined in HostApp.cpp).
    struct Shared;

private:
    int claimDataFolder();  // 0, or the exit code
    void startGame();
    bool loadPlugin();
    void showMenus();
    void openWindow();
    void startConsoleInput();
    std::string waitForStop();
    void shutDown(const std::string& why);

    HostProgramOptions options_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<platform::FileLock> folderLock_;
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::unique_ptr<LoadedPlugin> plugin_;
    std::unique_ptr<HostWindow> window_;
};

}  // namespace host

#include "host/HostApp.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/ConsolePrinter.h"
#include "host/ConsoleText.h"
#include "host/HostWindow.h"
#include "host/PluginLoader.h"
#include "platform/FileLock.h"
#include "platform/Signals.h"
#include "sdk/HostRuntime.h"

namespace host {
namespace {

// One line to stderr in one write: the game thread and the workers print to stdout meanwhile, and
// a reader of both (a terminal, a test) must not get our line cut by theirs.
void tellError(const std::string& line) {
    std::cerr << (line + "\n") << std::flush;
}

// Ends the program once: quit, end of input, a signal or the end of the run time.
class StopSignal {
public:
    void request(const std::string& why) {
        {
            std::lock_guard lk(m_);
            if (stopped_)
                return;
            stopped_ = true;
            why_ = why;
        }
        cv_.notify_all();
    }
    std::string wait(std::optional<double> seconds) {
        std::unique_lock lk(m_);
        if (seconds) {
            if (!cv_.wait_for(lk, std::chrono::duration<double>(*seconds),
                              [&] { return stopped_; }))
                return "run time over";
        } else {
            cv_.wait(lk, [&] { return stopped_; });
        }
        return why_;
    }
    // The reason once stopped, else nothing; for a loop that cannot block.
    std::optional<std::string> poll() {
        std::lock_guard lk(m_);
        return stopped_ ? std::optional<std::string>(why_) : std::nullopt;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool stopped_ = false;
    std::string why_;
};

// The plugin's first words when no backend answers: its session's failed open, or its failed
// pairing query at load.
bool isBackendFailure(const std::string& line) {
    return line.rfind("[BRV] WS error: ", 0) == 0 ||
           line == "[BRV] Falha ao consultar /pair-status no load";
}

// What to do about it, with the address in force.
std::string backendHint() {
    const char* chosen = std::getenv("BREVANT_BACKEND");
    const std::string where = chosen && *chosen
                                  ? std::string("BREVANT_BACKEND=") + chosen
                                  : std::string(BREVANT_BACKEND_HOST) + " (WebSocket port " +
                                        std::to_string(BREVANT_WS_PORT) + ", pairing port " +
                                        std::to_string(BREVANT_PAIR_PORT) + ", as built)";
    return "brevant-host: no backend answered at " + where +
           "; start the reference backend with ./dev backend, or point at another with "
           "BREVANT_BACKEND=HOST:WS:PAIR:RANK:UPLOAD";
}

}  // namespace

// The input thread is never joined (it may sit in a read of standard input when the program
// ends), so what it uses lives as long as either of them.
struct HostApp::Shared {
    explicit Shared(bool foldRepeats)
        : out(foldRepeats, [](const std::string& line) { std::cout << line << std::endl; }) {}
    ConsolePrinter out;
    StopSignal stop;
    // The input thread may wait for the plugin's workers; unloading waits until it is done.
    std::mutex pluginMutex;
    LoadedPlugin* plugin = nullptr;
    std::mutex windowMutex;
    HostWindow* window = nullptr;
    std::atomic<bool> backendHintGiven{false};  // once a run
};

HostApp::HostApp(HostProgramOptions options)
    : options_(std::move(options)),
      shared_(std::make_shared<Shared>(standardOutputIsTerminal() && !options_.verbose)) {}

HostApp::~HostApp() = default;

int HostApp::run() {
#ifndef _WIN32
    // The plugin finds the Documents folder as a Linux desktop tells it: the game's and the
    // plugin's are then one. Set before any thread starts. (On Windows the plugin asks the shell;
    // brv_replay_dir points both at one folder there.)
    ::setenv("XDG_DOCUMENTS_DIR", options_.documentsFolder.string().c_str(), 1);
#endif
    platform::watchTerminationSignals([shared = shared_] { shared->stop.request("signal"); });

    if (const int code = claimDataFolder())
        return code;
    startGame();
    if (!loadPlugin())
        return 1;
    showMenus();
    openWindow();
    startConsoleInput();
    shutDown(waitForStop());
    return 0;
}

// One host program per data folder: two would share the device identifier and take the
// backend's session from each other, and write the same files. The lock goes with the process,
// however it ends.
int HostApp::claimDataFolder() {
    const auto& folder = options_.dataFolder;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::ostringstream line;
    if (ec) {
        line << "brevant-host: cannot create the data folder " << folder << ": " << ec.message();
        tellError(line.str());
        return 1;
    }
    std::string heldBy, lockError;
    folderLock_ = platform::FileLock::acquire(folder / "brevant-host.lock", heldBy, lockError);
    if (folderLock_)
        return 0;
    if (lockError.empty())
        line << "brevant-host: the data folder " << folder << " is in use by another brevant-host"
             << (heldBy.empty() ? "" : " (process " + heldBy + ")")
             << "; give each host program its own --data folder";
    else
        line << "brevant-host: cannot lock the data folder " << folder << ": " << lockError;
    tellError(line.str());
    return 4;
}

void HostApp::startGame() {
    rt_ = sdk::HostRuntime::create({sdk::ClockMode::RealTime, options_.dataFolder});
    rt_->setDocumentsFolder(options_.documentsFolder);
    rt_->setOutput(
        [shared = shared_, rt = rt_.get()](sdk::OutputKind kind, const std::string& text) {
            shared->out.print(consoleStamp(rt->nowNanos()), consoleText(kind, text));
            // The plugin cannot know where it runs; the host program can say what to do.
            if (kind == sdk::OutputKind::Log && isBackendFailure(text) &&
                !shared->backendHintGiven.exchange(true))
                shared->out.print(backendHint());
        });
    rt_->setQuitHandler([shared = shared_] { shared->stop.request("quit"); });
    rt_->startGameThread();
}

bool HostApp::loadPlugin() {
    shared_->out.print("brevant-host: data folder " + options_.dataFolder.string() +
                       ", Documents " + options_.documentsFolder.string() + ", module " +
                       options_.module.string());
    std::string error;
    plugin_ = LoadedPlugin::open(options_.module, rt_, error);
    if (!plugin_) {
        std::ostringstream line;
        line << "brevant-host: cannot load " << options_.module << ": " << error;
        tellError(line.str());
        rt_->stopGameThread();
        return false;
    }
    shared_->out.print(std::string("brevant-host: loaded \"") + plugin_->info().pluginName +
                       "\" version " + plugin_->info().pluginVersion);
    plugin_->load();
    std::lock_guard lk(shared_->pluginMutex);
    shared_->plugin = plugin_.get();
    return true;
}

// A menu that does not exist is told, and the rest runs: the console and the window are there to
// use, and togglemenu can be typed again.
void HostApp::showMenus() {
    const auto menus = rt_->menuNames();
    for (const auto& menu : options_.show) {
        if (std::find(menus.begin(), menus.end(), menu) != menus.end()) {
            rt_->post([rt = rt_, menu] { rt->executeCommand("togglemenu " + menu, true); });
            continue;
        }
        std::string names;
        for (const auto& name : menus)
            names += (names.empty() ? "" : ", ") + name;
        tellError("brevant-host: --show " + toTerminalText(menu) +
                  ": no such menu; the menus are: " + names);
    }
}

// A window when there is a display: GLFW wants it on this, the main thread.
void HostApp::openWindow() {
    if (options_.headless)
        return;
    std::string why;
    window_ = HostWindow::open(rt_, why);
    shared_->out.print("brevant-host: " +
                       (window_ ? std::string("window open") : "headless: " + why));
    if (window_ && !options_.screenshot.empty())
        window_->requestScreenshotAfter(30, options_.screenshot);
    std::lock_guard lk(shared_->windowMutex);
    shared_->window = window_.get();
}

// Each line of standard input is a console command, but for the host program's own two.
void HostApp::startConsoleInput() {
    if (options_.runSeconds)
        return;
    shared_->out.print("brevant-host: type console commands; 'quit' ends");
    std::thread([shared = shared_, rt = rt_] {
        std::string line;
        while (std::getline(std::cin, line)) {
            shared->out.inputTyped();
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            if (line == "workers") {
                std::lock_guard lk(shared->pluginMutex);
                const int running =
                    shared->plugin ? shared->plugin->waitForWorkers(std::chrono::seconds(10)) : 0;
                shared->out.print("brevant-host: " +
                                  (running == 0
                                       ? std::string("no worker running")
                                       : std::to_string(running) + " workers still running"));
                continue;
            }
            if (line.rfind("screenshot ", 0) == 0) {
                std::lock_guard lk(shared->windowMutex);
                if (shared->window)
                    shared->window->requestScreenshotAfter(0, line.substr(11));
                else
                    shared->out.print("brevant-host: no window to take a screenshot of");
                continue;
            }
            rt->post([rt, line] { rt->executeCommand(line, true); });
        }
        shared->stop.request("end of input");
    }).detach();
}

// Without a window the main thread only waits; with one it draws the frames meanwhile.
std::string HostApp::waitForStop() {
    if (!window_)
        return shared_->stop.wait(options_.runSeconds);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration<double>(options_.runSeconds.value_or(1e9));
    for (;;) {
        if (auto reason = shared_->stop.poll())
            return *reason;
        if (std::chrono::steady_clock::now() >= until)
            return "run time over";
        if (!window_->frame())
            return "window closed";
        if (const std::string note = window_->takeScreenshotNote(); !note.empty())
            shared_->out.print(note);
    }
}

void HostApp::shutDown(const std::string& why) {
    shared_->out.print("brevant-host: stopping (" + why + ")");
    {
        std::lock_guard lk(shared_->pluginMutex);
        shared_->plugin = nullptr;
    }
    const auto unloadStarted = std::chrono::steady_clock::now();
    const bool closed = plugin_->unload();
    const auto unloadMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - unloadStarted)
                              .count();
    const auto gameThreadMs = plugin_->gameThreadUnload().count();
    plugin_.reset();
    {
        std::lock_guard lk(shared_->windowMutex);
        shared_->window = nullptr;
    }
    window_.reset();
    rt_->stopGameThread();
    if (!rt_->saveConfig())
        tellError("brevant-host: could not save the console variables");
    // How long the game thread waited for the plugin to unload (its onUnload and destruction),
    // and the whole unload with the wait for its workers and the module's release.
    shared_->out.print("brevant-host: plugin unloaded in " + std::to_string(unloadMs) +
                       " ms (the game thread waited " + std::to_string(gameThreadMs) + " ms)" +
                       (closed ? "" : " (module kept in memory)"));
}

}  // namespace host

// The host program: loads the plugin module into a stand-in host that runs a game thread in
// real time, and acts as the host's console. It prints every log line and toast as it happens
// (on a terminal, a line that repeats the one before it once, see ConsolePrinter); each line of
// standard input runs as a console command.
#include <algorithm>
#include <atomic>
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
#include "host/HostProgramOptions.h"
#include "host/HostWindow.h"
#include "host/PluginLoader.h"
#include "platform/FileLock.h"
#include "platform/Signals.h"

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

}  // namespace

int main(int argc, char** argv) {
    const auto commandLine = host::parseHostCommandLine(argc, argv, BREVANT_DEFAULT_MODULE);
    if (!commandLine.mistake.empty()) {
        std::cerr << commandLine.mistake;
        return 2;
    }
    if (commandLine.help) {
        std::cout << host::hostUsage;
        return 0;
    }
    const host::HostProgramOptions* options = &commandLine.options;
#ifndef _WIN32
    // The plugin finds the Documents folder as a Linux desktop tells it: the game's and the
    // plugin's are then one. Set before any thread starts. (On Windows the plugin asks the shell;
    // brv_replay_dir points both at one folder there.)
    ::setenv("XDG_DOCUMENTS_DIR", options->documentsFolder.string().c_str(), 1);
#endif

    static StopSignal stop;
    platform::watchTerminationSignals([] { stop.request("signal"); });

    std::error_code ec;
    std::filesystem::create_directories(options->dataFolder, ec);
    if (ec) {
        std::cerr << "brevant-host: cannot create the data folder " << options->dataFolder << ": "
                  << ec.message() << "\n";
        return 1;
    }
    // One host program per data folder: two would share the device identifier and take the
    // backend's session from each other, and write the same files. The lock goes with the
    // process, however it ends.
    std::string heldBy, lockError;
    const auto folderLock =
        platform::FileLock::acquire(options->dataFolder / "brevant-host.lock", heldBy, lockError);
    if (!folderLock) {
        if (lockError.empty())
            std::cerr << "brevant-host: the data folder " << options->dataFolder
                      << " is in use by another brevant-host"
                      << (heldBy.empty() ? "" : " (process " + heldBy + ")")
                      << "; give each host program its own --data folder\n";
        else
            std::cerr << "brevant-host: cannot lock the data folder " << options->dataFolder << ": "
                      << lockError << "\n";
        return 4;
    }

    // Static: the input thread is never joined, it may outlive main's locals.
    static host::ConsolePrinter out(
        host::standardOutputIsTerminal() && !options->verbose,
        [](const std::string& line) { std::cout << line << std::endl; });
    auto rt = sdk::HostRuntime::create({sdk::ClockMode::RealTime, options->dataFolder});
    rt->setDocumentsFolder(options->documentsFolder);
    rt->setOutput([&](sdk::OutputKind kind, const std::string& text) {
        out.print(host::consoleStamp(rt->nowNanos()), host::consoleText(kind, text));
    });
    rt->setQuitHandler([] { stop.request("quit"); });
    rt->startGameThread();

    out.print("brevant-host: data folder " + options->dataFolder.string() + ", Documents " +
              options->documentsFolder.string() + ", module " + options->module.string());
    std::string error;
    auto plugin = host::LoadedPlugin::open(options->module, rt, error);
    if (!plugin) {
        std::ostringstream line;
        line << "brevant-host: cannot load " << options->module << ": " << error;
        tellError(line.str());
        rt->stopGameThread();
        return 1;
    }
    out.print(std::string("brevant-host: loaded \"") + plugin->info().pluginName + "\" version " +
              plugin->info().pluginVersion);
    plugin->load();
    // A menu that does not exist is told, and the rest runs: the console and the window are
    // there to use, and togglemenu can be typed again.
    const auto menus = rt->menuNames();
    for (const auto& menu : options->show) {
        if (std::find(menus.begin(), menus.end(), menu) != menus.end()) {
            rt->post([rt, menu] { rt->executeCommand("togglemenu " + menu, true); });
            continue;
        }
        std::string names;
        for (const auto& name : menus)
            names += (names.empty() ? "" : ", ") + name;
        tellError("brevant-host: --show " + host::toTerminalText(menu) +
                  ": no such menu; the menus are: " + names);
    }

    // A window when there is a display: GLFW wants it on this, the main thread.
    static std::mutex windowMutex;
    static host::HostWindow* shownWindow = nullptr;
    std::unique_ptr<host::HostWindow> window;
    if (!options->headless) {
        std::string why;
        window = host::HostWindow::open(rt, why);
        out.print("brevant-host: " + (window ? std::string("window open") : "headless: " + why));
        if (window && !options->screenshot.empty())
            window->requestScreenshotAfter(30, options->screenshot);
        std::lock_guard lk(windowMutex);
        shownWindow = window.get();
    }

    // The input thread may wait for the plugin's workers; unloading waits until it is done.
    static std::mutex pluginMutex;
    static host::LoadedPlugin* loadedPlugin = nullptr;
    {
        std::lock_guard lk(pluginMutex);
        loadedPlugin = plugin.get();
    }
    if (!options->runSeconds) {
        std::thread([rt] {
            std::string line;
            while (std::getline(std::cin, line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line.empty())
                    continue;
                if (line == "workers") {
                    std::lock_guard lk(pluginMutex);
                    const int running =
                        loadedPlugin ? loadedPlugin->waitForWorkers(std::chrono::seconds(10)) : 0;
                    out.print("brevant-host: " +
                              (running == 0 ? std::string("no worker running")
                                            : std::to_string(running) + " workers still running"));
                    continue;
                }
                if (line.rfind("screenshot ", 0) == 0) {
                    std::lock_guard lk(windowMutex);
                    if (shownWindow) {
                        shownWindow->requestScreenshotAfter(0, line.substr(11));
                    } else {
                        out.print("brevant-host: no window to take a screenshot of");
                    }
                    continue;
                }
                rt->post([rt, line] { rt->executeCommand(line, true); });
            }
            stop.request("end of input");
        }).detach();
    }

    std::string why;
    if (window) {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration<double>(options->runSeconds.value_or(1e9));
        for (;;) {
            if (auto reason = stop.poll()) {
                why = *reason;
                break;
            }
            if (std::chrono::steady_clock::now() >= until) {
                why = "run time over";
                break;
            }
            if (!window->frame()) {
                why = "window closed";
                break;
            }
            if (const std::string note = window->takeScreenshotNote(); !note.empty())
                out.print(note);
        }
    } else {
        why = stop.wait(options->runSeconds);
    }
    out.print("brevant-host: stopping (" + why + ")");
    {
        std::lock_guard lk(pluginMutex);
        loadedPlugin = nullptr;
    }
    bool closed = plugin->unload();
    plugin.reset();
    {
        std::lock_guard lk(windowMutex);
        shownWindow = nullptr;
    }
    window.reset();
    rt->stopGameThread();
    if (!rt->saveConfig())
        tellError("brevant-host: could not save the console variables");
    out.print(std::string("brevant-host: plugin unloaded") +
              (closed ? "" : " (module kept in memory)"));
    return 0;
}

// The host program: loads the plugin module into a stand-in host that runs a game thread in
// real time, and acts as the host's console. It prints every log line and toast as it happens;
// each line of standard input runs as a console command.
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/ConsoleText.h"
#include "host/HostWindow.h"
#include "host/PluginLoader.h"
#include "platform/FileLock.h"
#include "platform/KnownFolders.h"
#include "platform/Signals.h"
#include "platform/Text.h"

namespace {

struct Options {
    std::filesystem::path dataFolder;
    std::filesystem::path module = BREVANT_DEFAULT_MODULE;
    std::optional<double> runSeconds;
    bool headless = false;
    std::filesystem::path screenshot;
    std::vector<std::string> show;
};

void usage() {
    std::cerr
        << "usage: brevant-host [--data DIR] [--module FILE] [--run-seconds N] [--headless]\n"
           "                    [--show MENU] [--screenshot FILE]\n"
           "  --data DIR         the host's data folder (device identifier, saved console\n"
           "                     variables); default: ~/.local/share/brevant-host\n"
           "  --module FILE      the plugin module to load; default: the one built here\n"
           "  --run-seconds N    run N seconds without reading input, then quit\n"
           "  --headless         no window, even with a display (without one there is none)\n"
           "  --show MENU        togglemenu MENU once loaded (Brevant, settings); repeatable\n"
           "  --screenshot FILE  save the window's 30th frame as a PNG\n"
           "Console: plugin commands and variables, and the host's own commands:\n"
           "  togglemenu NAME, bind KEY \"COMMAND\", unbind KEY, press KEY, event NAME, quit,\n"
           "  game ... (the simulated game: game help), and workers (waits up to 10 s until no\n"
           "  worker thread of the plugin runs, then says so: what a script waits on),\n"
           "  screenshot FILE (saves the window's next frame as a PNG)\n"
           "In the window: F2 opens the settings menu, other function keys run what is bound.\n";
}

std::filesystem::path defaultDataFolder() {
    if (auto home = platform::environmentVariable(L"HOME"); home && !home->empty())
        return platform::widePath(*home) / ".local" / "share" / "brevant-host";
    return std::filesystem::current_path() / "brevant-host-data";
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--data") {
            const char* v = next();
            if (!v)
                return std::nullopt;
            o.dataFolder = v;
        } else if (a == "--module") {
            const char* v = next();
            if (!v)
                return std::nullopt;
            o.module = v;
        } else if (a == "--run-seconds") {
            const char* v = next();
            if (!v)
                return std::nullopt;
            char* end = nullptr;
            double s = std::strtod(v, &end);
            if (end == v || *end || !std::isfinite(s) || s < 0)
                return std::nullopt;
            o.runSeconds = s;
        } else if (a == "--headless") {
            o.headless = true;
        } else if (a == "--show") {
            const char* v = next();
            if (!v)
                return std::nullopt;
            o.show.emplace_back(v);
        } else if (a == "--screenshot") {
            const char* v = next();
            if (!v)
                return std::nullopt;
            o.screenshot = v;
        } else {
            return std::nullopt;
        }
    }
    if (o.dataFolder.empty())
        o.dataFolder = defaultDataFolder();
    return o;
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
    auto options = parse(argc, argv);
    if (!options) {
        usage();
        return 2;
    }

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

    auto rt = sdk::HostRuntime::create({sdk::ClockMode::RealTime, options->dataFolder});
    static std::mutex outMutex;
    rt->setOutput([&](sdk::OutputKind kind, const std::string& text) {
        std::lock_guard lk(outMutex);
        std::cout << host::formatConsoleLine(rt->nowNanos(), kind, text) << std::endl;
    });
    rt->setQuitHandler([] { stop.request("quit"); });
    rt->startGameThread();

    std::cout << "brevant-host: data folder " << options->dataFolder.string() << ", module "
              << options->module.string() << std::endl;
    std::string error;
    auto plugin = host::LoadedPlugin::open(options->module, rt, error);
    if (!plugin) {
        std::cerr << "brevant-host: cannot load " << options->module << ": " << error << "\n";
        rt->stopGameThread();
        return 1;
    }
    std::cout << "brevant-host: loaded \"" << plugin->info().pluginName << "\" version "
              << plugin->info().pluginVersion << std::endl;
    plugin->load();
    for (const auto& menu : options->show)
        rt->post([rt, menu] { rt->executeCommand("togglemenu " + menu, true); });

    // A window when there is a display: GLFW wants it on this, the main thread.
    static std::mutex windowMutex;
    static host::HostWindow* shownWindow = nullptr;
    std::unique_ptr<host::HostWindow> window;
    if (!options->headless) {
        std::string why;
        window = host::HostWindow::open(rt, why);
        std::cout << "brevant-host: " << (window ? "window open" : "headless: " + why) << std::endl;
        if (window && !options->screenshot.empty())
            window->requestScreenshotAfter(30, options->screenshot);
        std::lock_guard lk(windowMutex);
        shownWindow = window.get();
    }

    // The input thread may wait for the plugin's workers; unloading waits until it is done.
    // Static: the input thread is never joined, it may outlive main's locals.
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
                    std::lock_guard out(outMutex);
                    std::cout << "brevant-host: "
                              << (running == 0 ? "no worker running"
                                               : std::to_string(running) + " workers still running")
                              << std::endl;
                    continue;
                }
                if (line.rfind("screenshot ", 0) == 0) {
                    std::lock_guard lk(windowMutex);
                    if (shownWindow) {
                        shownWindow->requestScreenshotAfter(0, line.substr(11));
                    } else {
                        std::lock_guard out(outMutex);
                        std::cout << "brevant-host: no window to take a screenshot of" << std::endl;
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
            if (const std::string note = window->takeScreenshotNote(); !note.empty()) {
                std::lock_guard out(outMutex);
                std::cout << note << std::endl;
            }
        }
    } else {
        why = stop.wait(options->runSeconds);
    }
    std::cout << "brevant-host: stopping (" << why << ")" << std::endl;
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
        std::cerr << "brevant-host: could not save the console variables\n";
    std::cout << "brevant-host: plugin unloaded" << (closed ? "" : " (module kept in memory)")
              << std::endl;
    return 0;
}

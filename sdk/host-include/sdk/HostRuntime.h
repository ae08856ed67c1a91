#pragma once
// The host side of the stand-in SDK: the game thread with its posted callables and timers, the
// hooks, the console (variables, commands, log, binds, saved configuration), toasts, plugin
// windows and the simulated game. One runtime serves the host program (real time, a game thread
// of its own) and the tests (a manual clock; the test thread is the game thread).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "sdk/Api.h"
#include "sdk/GameModel.h"

class GameWrapper;
class CVarManagerWrapper;
struct ImDrawData;
namespace BakkesMod::Plugin {
class PluginWindow;
class PluginSettingsWindow;
}  // namespace BakkesMod::Plugin

namespace sdk {

enum class ClockMode { Manual, RealTime };

struct HostOptions {
    ClockMode clock = ClockMode::Manual;
    // The host's data folder: the saved console variables live in it, and GetDataFolderW
    // answers it.
    std::filesystem::path dataFolder;
};

struct ToastRecord {
    std::string title;
    std::string text;
    std::string texture;
    float seconds = 0;
    std::uint8_t toastType = 0;
    float width = 0;
    float height = 0;
};

// What the host shows as it happens (the host program prints it). Game: a line of the host's own
// saying what the simulated game was asked to do; it is not part of the console's log.
enum class OutputKind { Log, Toast, Command, Fault, Game };

struct SDK_API CVarRecord {
    std::string name;
    std::string defaultValue;
    std::string description;
    bool saveToCfg = true;
    mutable std::mutex mutex;
    std::string value;

    std::string get() const;
    void set(const std::string& v);
};

class SDK_API HostRuntime : public std::enable_shared_from_this<HostRuntime> {
public:
    static std::shared_ptr<HostRuntime> create(HostOptions options);
    ~HostRuntime();
    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;

    // The handles a plugin receives. Each call makes a new handle onto this runtime.
    std::shared_ptr<GameWrapper> makeGameWrapper();
    std::shared_ptr<CVarManagerWrapper> makeCvarManager();

    const HostOptions& options() const { return options_; }
    GameModel& model() { return model_; }

    // ---- game thread -------------------------------------------------------------------
    // Queues a callable for the game thread (any thread).
    void post(std::function<void()> fn);
    // Runs fn once on the game thread after the given delay (game thread).
    void setTimeout(std::function<void()> fn, float seconds);
    bool isGameThread() const;
    // Reports a fault when the caller is not the game thread.
    void requireGameThread(const char* what);
    // Faults seen so far (wrapper calls off the game thread), in order.
    std::vector<std::string> faults() const;

    // Host clock: nanoseconds since the runtime was created (manual: as advanced).
    std::int64_t nowNanos() const;

    // Manual clock: runs posted callables, then every timer that falls due within the span in
    // due order (also timers armed while advancing), and posted callables after each one.
    void advance(double seconds);
    // Manual clock: runs posted callables until cond holds or the timeout passes (real time).
    bool pumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);
    // Runs whatever is posted right now.
    void runPosted();
    // Manual clock, worker threads: blocks until the clock reaches the given time, or until
    // the runtime shuts down or `stop` is asked to stop (then at once). Returns false when it
    // gave up for either.
    bool waitForClock(std::int64_t nanos, std::stop_token stop = {});
    // Manual clock: waits (real time, up to timeout) until some thread is in waitForClock and at
    // least `begun` waits have begun since the runtime was created, so that a test advances the
    // clock only once a worker sleeps. Gives the earliest time a thread waits for and the number
    // of waits begun, or nothing when no thread waited in time.
    struct ClockWait {
        std::int64_t until;
        std::uint64_t begun;
    };
    std::optional<ClockWait> awaitClockWait(std::uint64_t begun, std::chrono::milliseconds timeout);
    std::size_t pendingTimers() const;

    // Real time: the game thread runs in its own thread until stopGameThread.
    void startGameThread();
    void stopGameThread();
    // Real time: runs fn on the game thread and waits for it.
    void runOnGameThread(const std::function<void()>& fn);

    // Drops every callable that came from a plugin (hooks, notifiers, timers, posted work,
    // windows) so that its module can be closed, and wakes anything waiting on the clock.
    void forgetPluginCallbacks();

    // ---- hooks -------------------------------------------------------------------------
    void hookEvent(const std::string& name, std::function<void(std::string)> fn);
    // Fires a game event: each hook runs on the game thread (game thread).
    void fireEvent(const std::string& name);
    std::vector<std::string> hookedEvents() const;

    // ---- console -----------------------------------------------------------------------
    std::shared_ptr<CVarRecord> registerCvar(const std::string& name,
                                             const std::string& defaultValue,
                                             const std::string& description, bool saveToCfg);
    std::shared_ptr<CVarRecord> findCvar(const std::string& name) const;
    void registerNotifier(const std::string& name, std::function<void(std::vector<std::string>)> fn,
                          const std::string& description);
    // Runs one console line: a plugin command, a variable (set or print) or a host command
    // (togglemenu, bind, unbind, press, event, quit, ...). Every line is recorded.
    void executeCommand(const std::string& line, bool log = true);
    // The host's "quit" command calls this.
    void setQuitHandler(std::function<void()> fn);
    void log(const std::string& text);
    // Shows a line of the simulated game's own (OutputKind::Game); the console does not record
    // it.
    void gameNote(const std::string& text);

    struct ConsoleEvent {
        enum class Kind { Log, Command, Cvar, Notifier, Hook };
        Kind kind;
        std::string text;
    };
    // Everything the console saw, in order: log lines, executed commands, registrations.
    std::vector<ConsoleEvent> consoleEvents() const;
    // Forgets what the console saw so far (a long benchmark run would hold it all).
    void forgetConsoleEvents();
    std::vector<std::string> logLines() const;
    std::vector<std::string> executedCommands() const;
    // The plugin asked the console for a variable by name (CVarManagerWrapper::getCvar); how
    // often each was asked for. The host's own reads are not counted.
    void noteCvarLookup(const std::string& name);
    std::map<std::string, int> cvarLookups() const;
    std::map<std::string, std::string> binds() const;

    // Saved configuration: <data folder>/cfg/config.cfg, one `name "value"` line each. A line
    // that is not one (control characters, not a variable's name, more or fewer words) is
    // skipped with a warning in the log naming it, and is not saved again.
    void loadConfig();
    bool saveConfig() const;

    // ---- player feedback and windows ---------------------------------------------------
    void toast(ToastRecord toast);
    std::vector<ToastRecord> toasts() const;
    void registerWindow(BakkesMod::Plugin::PluginWindow* window);
    bool isWindowOpen(const std::string& menuName) const;
    // A plugin's tab of the settings menu ("togglemenu settings" shows the menu).
    void registerSettingsWindow(BakkesMod::Plugin::PluginSettingsWindow* window);
    bool isSettingsOpen() const;

    // ---- frames, drawn with Dear ImGui (HostFrames.cpp) --------------------------------
    // The host's ImGui context, created with its font atlas on first use and handed to every
    // registered window through its set-context operation. The size of the frames is the
    // context's display size (1280 x 720 until the host's window sets it).
    std::uintptr_t imguiContext();
    // One frame (game thread): the settings menu with each plugin's tab while it is open, then
    // each open plugin window, in a window of the host's titled with its menu title. A window
    // closed with its close box is closed as by togglemenu. Answers the frame's draw data, valid
    // until the next frame.
    ImDrawData* drawFrame(float deltaSeconds = 1.0f / 60.0f);

    // Everything shown, as it happens; called with no lock held. The first sink is shown at once
    // what the log said before it came (the configuration's warnings at creation).
    void setOutput(std::function<void(OutputKind, const std::string&)> sink);

    // ---- the simulated game's files ----------------------------------------------------
    // The game's Documents folder, under which it saves replays (when brv_replay_dir is not
    // set); empty: the environment's (XDG_DOCUMENTS_DIR, else ~/Documents).
    void setDocumentsFolder(std::filesystem::path folder);
    // The registered plugin menus and "settings", for togglemenu.
    std::vector<std::string> menuNames() const;

private:
    explicit HostRuntime(HostOptions options);

    bool popDueTimer(std::int64_t limit, std::function<void()>& fn);
    void emit(OutputKind kind, const std::string& text);
    void record(ConsoleEvent::Kind kind, const std::string& text);
    bool runHostCommand(const std::vector<std::string>& args);
    // "game ...": drives the simulated game by hand (see GameCommands.cpp).
    bool runGameCommand(const std::vector<std::string>& args);
    // "game replay ...": the game saves a replay (see GameReplays.cpp); false on bad arguments.
    bool saveGameReplay(const std::vector<std::string>& args);
    // Where the game saves replays: brv_replay_dir when set, else the Demos folder under the
    // game's Documents folder (setDocumentsFolder).
    std::filesystem::path replayFolder() const;
    void gameThreadLoop();
    // Runs a callable that came from a plugin; an exception that escapes it is a fault.
    void invoke(const std::function<void()>& fn, const char* what);

    HostOptions options_;
    GameModel model_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    mutable std::mutex mutex_;  // queue, timers, clock, game thread id, faults
    std::condition_variable wake_;
    std::vector<std::function<void()>> posted_;
    std::multimap<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> timers_;
    std::uint64_t timerSeq_ = 0;
    std::int64_t manualNow_ = 0;
    std::multiset<std::int64_t> clockWaits_;  // the times threads wait for in waitForClock
    std::uint64_t clockWaitsBegun_ = 0;
    bool stopping_ = false;
    std::thread::id gameThread_;
    std::thread loop_;
    std::vector<std::string> faults_;

    mutable std::mutex consoleMutex_;  // console, hooks, toasts, windows
    std::map<std::string, std::shared_ptr<CVarRecord>> cvars_;
    std::map<std::string, std::function<void(std::vector<std::string>)>> notifiers_;
    std::multimap<std::string, std::function<void(std::string)>> hooks_;
    std::vector<ConsoleEvent> events_;
    std::map<std::string, std::string> binds_;
    std::map<std::string, std::string> savedValues_;
    std::map<std::string, int> cvarLookups_;
    std::vector<ToastRecord> toasts_;
    std::map<std::string, BakkesMod::Plugin::PluginWindow*> windows_;
    std::map<std::string, bool> windowOpen_;
    std::vector<BakkesMod::Plugin::PluginSettingsWindow*> settingsWindows_;
    bool settingsOpen_ = false;
    void* imgui_ = nullptr;            // ImGuiContext*, game thread
    std::set<void*> contextHandedTo_;  // windows given the context, game thread
    void destroyImGui();
    std::function<void()> quitHandler_;
    std::function<void(OutputKind, const std::string&)> sink_;
    bool sinkSeen_ = false;
    std::filesystem::path documentsFolder_;
};

}  // namespace sdk

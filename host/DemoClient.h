#pragma once
// One client of the demo: the host program in its own process, with its own data folder and
// Documents folder, driven through its console. Everything it prints goes to the timeline
// under the client's name.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Timeline.h"
#include "platform/ChildProcess.h"

namespace host {

struct DemoClientSetup {
    std::string name;  // "A", "B"
    std::filesystem::path hostProgram;
    std::filesystem::path module;
    std::filesystem::path folder;  // holds the client's data/ and Documents/ (emptied at start)
    // BREVANT_BACKEND for the plugin ("HOST:WS:PAIR:RANK:UPLOAD"); empty: the build-time one.
    std::string backend;
    // More options for the host program; it runs headless unless this holds "--window".
    std::vector<std::string> arguments = {};
    // More lines for the settings file written before the first start.
    std::vector<std::string> settings = {};
};

// Reads a line the host program printed into the timeline's terms: "[   1.234] toast   | text"
// is the client's toast "text"; any other line is the host program's own.
TimelineEvent parseHostLine(const std::string& line);

// The child's exit code when it has ended by itself (the process is let go then); nothing while
// it runs or when there is none.
std::optional<int> endedByItself(std::unique_ptr<platform::ChildProcess>& process);

class DemoClient {
public:
    DemoClient(DemoClientSetup setup, Timeline& timeline);
    ~DemoClient();

    const std::string& name() const { return setup_.name; }
    std::filesystem::path dataFolder() const { return setup_.folder / "data"; }
    std::filesystem::path documentsFolder() const { return setup_.folder / "Documents"; }

    // Starts the host program on an emptied folder, which loads the plugin; throws when it
    // cannot start.
    void start();
    // Starts it again (after quit) on the folder as the last run left it: a restart of the game.
    void restart();
    // One line on the client's console; throws when the host program no longer reads.
    void command(const std::string& line);
    // Quits the host program (it unloads the plugin) and waits for it to end; true when it
    // ended cleanly in time.
    bool quit(std::chrono::milliseconds timeout);
    // Kills the host program at once (kill -9: nothing saved); false when none runs.
    bool kill();
    // Whether the host program runs, and when it ended by itself, its exit code.
    bool running() const { return process_ != nullptr; }
    std::optional<int> exitedByItself();

private:
    void launch();

    DemoClientSetup setup_;
    Timeline& timeline_;
    std::unique_ptr<platform::ChildProcess> process_;
};

}  // namespace host

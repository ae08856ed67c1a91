#include "host/DemoClient.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace host {

TimelineEvent parseHostLine(const std::string& line) {
    TimelineEvent event;
    event.side = Side::Host;
    event.text = line;
    const auto close = line.find("] ");
    const auto bar = line.find(" | ");
    if (line.empty() || line[0] != '[' || close == std::string::npos || bar == std::string::npos ||
        bar < close)
        return event;
    const std::string side = line.substr(close + 2, line.find(' ', close + 2) - close - 2);
    static const std::pair<const char*, Side> sides[] = {{"console", Side::Console},
                                                         {"toast", Side::Toast},
                                                         {"command", Side::Command},
                                                         {"game", Side::Game},
                                                         {"FAULT", Side::Fault}};
    for (const auto& [word, kind] : sides) {
        if (side == word) {
            event.side = kind;
            event.text = line.substr(bar + 3);
        }
    }
    return event;
}

DemoClient::DemoClient(DemoClientSetup setup, Timeline& timeline)
    : setup_(std::move(setup)), timeline_(timeline) {}

DemoClient::~DemoClient() {
    process_.reset();  // kills a host program that still runs
}

void DemoClient::start() {
    std::error_code ec;
    std::filesystem::remove_all(setup_.folder, ec);
    std::filesystem::create_directories(dataFolder(), ec);
    std::filesystem::create_directories(documentsFolder(), ec);
    // Each client's game saves its replays, and its plugin watches them, under the client's
    // own Documents folder, set in its settings: the system's Documents folder is one for the
    // whole user (on Windows, under Wine, the same for every process).
    const std::u8string demos =
        (documentsFolder() / "My Games" / "Rocket League" / "TAGame" / "Demos").u8string();
    if (demos.find(u8'"') != std::u8string::npos)
        throw std::runtime_error("a client's folder cannot hold a '\"': " + setup_.folder.string());
    std::filesystem::create_directories(dataFolder() / "cfg", ec);
    std::ofstream settings(dataFolder() / "cfg" / "config.cfg");
    settings << "brv_replay_dir \"" << std::string(demos.begin(), demos.end()) << "\"\n";
    for (const auto& line : setup_.settings)
        settings << line << "\n";
    if (!settings.flush())
        throw std::runtime_error("cannot write the settings of " + setup_.name);
    launch();
}

void DemoClient::restart() {
    if (process_)
        throw std::runtime_error(setup_.name + "'s host program still runs");
    launch();
}

void DemoClient::launch() {
    platform::ChildLaunch child;
    child.program = setup_.hostProgram;
    child.arguments = {"--data",   dataFolder().string(), "--documents", documentsFolder().string(),
                       "--module", setup_.module.string()};
    for (const auto& a : setup_.arguments)
        if (a != "--window")
            child.arguments.push_back(a);
    if (std::find(setup_.arguments.begin(), setup_.arguments.end(), "--window") ==
        setup_.arguments.end())
        child.arguments.push_back("--headless");
    if (!setup_.backend.empty())
        child.environment.emplace_back("BREVANT_BACKEND", setup_.backend);
    child.onLine = [this](const std::string& line) {
        TimelineEvent event = parseHostLine(line);
        timeline_.add(setup_.name, event.side, std::move(event.text));
    };
    std::string error;
    process_ = platform::ChildProcess::start(std::move(child), error);
    if (!process_)
        throw std::runtime_error(error);
}

void DemoClient::command(const std::string& line) {
    if (!process_ || !process_->writeLine(line))
        throw std::runtime_error(setup_.name + "'s host program does not read its console");
}

bool DemoClient::quit(std::chrono::milliseconds timeout) {
    if (!process_)
        return true;
    process_->writeLine("quit");
    const int code = process_->waitForExit(timeout);
    if (code < 0)
        process_->kill();
    process_.reset();
    return code == 0;
}

bool DemoClient::kill() {
    if (!process_)
        return false;
    process_->kill();
    process_.reset();
    return true;
}

std::optional<int> DemoClient::exitedByItself() {
    return endedByItself(process_);
}

std::optional<int> endedByItself(std::unique_ptr<platform::ChildProcess>& process) {
    if (!process)
        return std::nullopt;
    const int code = process->waitForExit(std::chrono::milliseconds(0));
    if (code < 0)
        return std::nullopt;
    process.reset();
    return code;
}

}  // namespace host

// The host's console: variables, commands, binds, the log and the saved configuration.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sdk/HostRuntime.h"
#include "sdk/Plugin.h"

namespace sdk {

std::string CVarRecord::get() const {
    std::lock_guard lk(mutex);
    return value;
}

void CVarRecord::set(const std::string& v) {
    std::lock_guard lk(mutex);
    value = v;
}

namespace {

// Splits a console line into words; a double-quoted word may hold spaces.
std::vector<std::string> splitCommand(const std::string& line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            while (i < line.size() && line[i] != '"')
                word += line[i++];
            if (i < line.size())
                ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                word += line[i++];
        }
        words.push_back(std::move(word));
    }
    return words;
}

std::string joinFrom(const std::vector<std::string>& words, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) {
        if (i > from)
            out += ' ';
        out += words[i];
    }
    return out;
}

}  // namespace

void HostRuntime::record(ConsoleEvent::Kind kind, const std::string& text) {
    std::lock_guard lk(consoleMutex_);
    events_.push_back({kind, text});
}

void HostRuntime::forgetConsoleEvents() {
    std::lock_guard lk(consoleMutex_);
    events_.clear();
}

void HostRuntime::log(const std::string& text) {
    record(ConsoleEvent::Kind::Log, text);
    emit(OutputKind::Log, text);
}

std::shared_ptr<CVarRecord> HostRuntime::registerCvar(const std::string& name,
                                                      const std::string& defaultValue,
                                                      const std::string& description,
                                                      bool saveToCfg) {
    std::shared_ptr<CVarRecord> rec;
    {
        std::lock_guard lk(consoleMutex_);
        auto it = cvars_.find(name);
        if (it != cvars_.end()) {
            // Registered again (a plugin loaded a second time): the variable keeps its value.
            rec = it->second;
        } else {
            rec = std::make_shared<CVarRecord>();
            rec->name = name;
            rec->defaultValue = defaultValue;
            rec->description = description;
            rec->saveToCfg = saveToCfg;
            auto saved = savedValues_.find(name);
            rec->value = saved != savedValues_.end() ? saved->second : defaultValue;
            cvars_.emplace(name, rec);
        }
    }
    record(ConsoleEvent::Kind::Cvar, name);
    return rec;
}

void HostRuntime::noteCvarLookup(const std::string& name) {
    std::lock_guard lk(consoleMutex_);
    ++cvarLookups_[name];
}

std::map<std::string, int> HostRuntime::cvarLookups() const {
    std::lock_guard lk(consoleMutex_);
    return cvarLookups_;
}

std::shared_ptr<CVarRecord> HostRuntime::findCvar(const std::string& name) const {
    std::lock_guard lk(consoleMutex_);
    auto it = cvars_.find(name);
    return it == cvars_.end() ? nullptr : it->second;
}

void HostRuntime::registerNotifier(const std::string& name,
                                   std::function<void(std::vector<std::string>)> fn,
                                   const std::string& /*description*/) {
    {
        std::lock_guard lk(consoleMutex_);
        notifiers_[name] = std::move(fn);
    }
    record(ConsoleEvent::Kind::Notifier, name);
}

void HostRuntime::setQuitHandler(std::function<void()> fn) {
    std::lock_guard lk(consoleMutex_);
    quitHandler_ = std::move(fn);
}

void HostRuntime::executeCommand(const std::string& line, bool /*log*/) {
    record(ConsoleEvent::Kind::Command, line);
    emit(OutputKind::Command, line);
    auto words = splitCommand(line);
    if (words.empty())
        return;

    std::function<void(std::vector<std::string>)> notifier;
    std::shared_ptr<CVarRecord> cvar;
    {
        std::lock_guard lk(consoleMutex_);
        if (auto it = notifiers_.find(words[0]); it != notifiers_.end())
            notifier = it->second;
        if (auto it = cvars_.find(words[0]); it != cvars_.end())
            cvar = it->second;
    }
    if (notifier) {
        invoke([&] { notifier(words); }, "command");
        return;
    }
    if (cvar) {
        if (words.size() > 1)
            cvar->set(joinFrom(words, 1));
        else
            log(cvar->name + " = \"" + cvar->get() + "\"");
        return;
    }
    if (!runHostCommand(words))
        log("Unknown command: " + words[0]);
}

bool HostRuntime::runHostCommand(const std::vector<std::string>& args) {
    const std::string& cmd = args[0];
    if (cmd == "togglemenu" && args.size() > 1 && args[1] == "settings") {
        std::lock_guard lk(consoleMutex_);
        settingsOpen_ = !settingsOpen_;
        return true;
    }
    if (cmd == "togglemenu" && args.size() > 1) {
        BakkesMod::Plugin::PluginWindow* window = nullptr;
        bool open = false;
        {
            std::lock_guard lk(consoleMutex_);
            auto it = windows_.find(args[1]);
            if (it != windows_.end()) {
                window = it->second;
                open = windowOpen_[args[1]] = !windowOpen_[args[1]];
            }
        }
        if (!window) {
            std::string names;
            for (const auto& name : menuNames())
                names += (names.empty() ? "" : ", ") + name;
            log("togglemenu: no menu named \"" + args[1] + "\"; the menus are: " + names);
            return true;
        }
        invoke([&] { open ? window->OnOpen() : window->OnClose(); }, "window");
        return true;
    }
    if (cmd == "bind" && args.size() > 2) {
        std::lock_guard lk(consoleMutex_);
        binds_[args[1]] = joinFrom(args, 2);
        return true;
    }
    if (cmd == "unbind" && args.size() > 1) {
        std::lock_guard lk(consoleMutex_);
        binds_.erase(args[1]);
        return true;
    }
    if (cmd == "press" && args.size() > 1) {  // a key press, for scripts
        std::string bound;
        {
            std::lock_guard lk(consoleMutex_);
            auto it = binds_.find(args[1]);
            if (it == binds_.end())
                return true;
            bound = it->second;
        }
        executeCommand(bound, true);
        return true;
    }
    if (cmd == "event" && args.size() > 1) {  // fires a game event, for scripts
        fireEvent(args[1]);
        return true;
    }
    if (cmd == "quit") {
        std::function<void()> quit;
        {
            std::lock_guard lk(consoleMutex_);
            quit = quitHandler_;
        }
        if (quit)
            quit();
        return true;
    }
    if (cmd == "game")
        return runGameCommand(args);
    // The game's own commands that plugins send; the stand-in accepts them as they are.
    return cmd == "listchatcommands" || cmd == "ranked_autosavereplay_all" || cmd == "writeconfig";
}

std::vector<HostRuntime::ConsoleEvent> HostRuntime::consoleEvents() const {
    std::lock_guard lk(consoleMutex_);
    return events_;
}

std::vector<std::string> HostRuntime::logLines() const {
    std::lock_guard lk(consoleMutex_);
    std::vector<std::string> out;
    for (auto& e : events_)
        if (e.kind == ConsoleEvent::Kind::Log)
            out.push_back(e.text);
    return out;
}

std::vector<std::string> HostRuntime::executedCommands() const {
    std::lock_guard lk(consoleMutex_);
    std::vector<std::string> out;
    for (auto& e : events_)
        if (e.kind == ConsoleEvent::Kind::Command)
            out.push_back(e.text);
    return out;
}

std::map<std::string, std::string> HostRuntime::binds() const {
    std::lock_guard lk(consoleMutex_);
    return binds_;
}

void HostRuntime::registerWindow(BakkesMod::Plugin::PluginWindow* window) {
    std::string name = window->GetMenuName();
    std::lock_guard lk(consoleMutex_);
    windows_[name] = window;
    windowOpen_[name] = false;
}

std::vector<std::string> HostRuntime::menuNames() const {
    std::vector<std::string> names;
    {
        std::lock_guard lk(consoleMutex_);
        for (const auto& [name, window] : windows_)
            names.push_back(name);
    }
    names.push_back("settings");
    return names;
}

bool HostRuntime::isWindowOpen(const std::string& menuName) const {
    std::lock_guard lk(consoleMutex_);
    auto it = windowOpen_.find(menuName);
    return it != windowOpen_.end() && it->second;
}

namespace {

std::filesystem::path configPath(const std::filesystem::path& dataFolder) {
    return dataFolder / "cfg" / "config.cfg";
}

bool isVariableName(const std::string& word) {
    if (word.empty())
        return false;
    for (unsigned char c : word)
        if (!std::isalnum(c) && c != '_')
            return false;
    return true;
}

// Why a line of the saved configuration cannot be read as `name "value"`; empty when it can.
std::string unreadable(const std::string& line, const std::vector<std::string>& words) {
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return "control characters";
    if (!isVariableName(words[0]))
        return "not a variable name";
    if (words.size() != 2)
        return "not a name and one value";
    return {};
}

// A line as a warning shows it: control characters escaped (\x00), at most 80 bytes.
std::string shownLine(const std::string& line) {
    constexpr std::size_t limit = 80;
    std::string out;
    char escaped[8];
    for (std::size_t i = 0; i < line.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (line.size() > limit)
        out += "...";
    return out;
}

}  // namespace

void HostRuntime::loadConfig() {
    if (options_.dataFolder.empty())
        return;
    // A file that a crash left full of zeros, or that someone edited by hand, must not put its
    // garbage among the variables, where the next save would keep it.
    constexpr int warningsShown = 10;
    std::ifstream in(configPath(options_.dataFolder), std::ios::binary);
    std::string line;
    std::vector<std::string> warnings;
    int skipped = 0;
    {
        std::lock_guard lk(consoleMutex_);
        for (int number = 1; std::getline(in, line); ++number) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const auto words = splitCommand(line);
            if (words.empty())
                continue;
            if (const std::string why = unreadable(line, words); !why.empty()) {
                if (++skipped <= warningsShown)
                    warnings.push_back("config.cfg: line " + std::to_string(number) + " skipped (" +
                                       why + "): " + shownLine(line));
                continue;
            }
            savedValues_[words[0]] = words[1];
        }
    }
    if (skipped > warningsShown)
        warnings.push_back("config.cfg: " + std::to_string(skipped - warningsShown) +
                           " more lines skipped");
    for (const auto& warning : warnings)
        log(warning);
}

bool HostRuntime::saveConfig() const {
    if (options_.dataFolder.empty())
        return false;
    std::map<std::string, std::string> values;
    {
        std::lock_guard lk(consoleMutex_);
        values = savedValues_;
        for (auto& [name, rec] : cvars_)
            if (rec->saveToCfg)
                values[name] = rec->get();
    }
    std::error_code ec;
    std::filesystem::create_directories(configPath(options_.dataFolder).parent_path(), ec);
    std::ofstream out(configPath(options_.dataFolder), std::ios::binary | std::ios::trunc);
    for (auto& [name, value] : values)
        out << name << " \"" << value << "\"\n";
    return static_cast<bool>(out);
}

}  // namespace sdk

#include "host/HostProgramOptions.h"

#include "host/CommandLine.h"
#include "platform/KnownFolders.h"
#include "platform/Text.h"

namespace host {

const char* const hostUsage =
    "usage: brevant-host [--data DIR] [--documents DIR] [--module FILE] [--run-seconds N]\n"
    "                    [--headless] [--show MENU] [--screenshot FILE] [--verbose] [--help]\n"
    "  --data DIR         the host's data folder (device identifier, saved console\n"
    "                     variables); default: ~/.local/share/brevant-host\n"
    "  --documents DIR    the simulated game's Documents folder, where it saves replays\n"
    "                     (under My Games/Rocket League/TAGame/Demos); default: Documents\n"
    "                     in the data folder\n"
    "  --module FILE      the plugin module to load; default: the one built here\n"
    "  --run-seconds N    run N seconds without reading input, then quit\n"
    "  --headless         no window, even with a display (without one there is none)\n"
    "  --show MENU        togglemenu MENU once loaded (Brevant, settings); repeatable\n"
    "  --screenshot FILE  save the window's 30th frame as a PNG\n"
    "  --verbose          print every line; on a terminal a line that repeats the one before\n"
    "                     it is otherwise folded into a count\n"
    "  --help, -h         this text\n"
    "Console: plugin commands and variables, and the host's own commands:\n"
    "  togglemenu NAME, bind KEY \"COMMAND\", unbind KEY, press KEY, event NAME, quit,\n"
    "  game ... (the simulated game: game help), and workers (waits up to 10 s until no\n"
    "  worker thread of the plugin runs, then says so: what a script waits on),\n"
    "  screenshot FILE (saves the window's next frame as a PNG)\n"
    "In the window: F2 opens the settings menu, other function keys run what is bound.\n";

namespace {

std::filesystem::path defaultDataFolder() {
    if (auto home = platform::environmentVariable(L"HOME"); home && !home->empty())
        return platform::widePath(*home) / ".local" / "share" / "brevant-host";
    return std::filesystem::current_path() / "brevant-host-data";
}

}  // namespace

HostCommandLine parseHostCommandLine(int argc, char** argv,
                                     const std::filesystem::path& defaultModule) {
    HostCommandLine parsed;
    HostProgramOptions& o = parsed.options;
    o.module = defaultModule;
    CommandLine args("brevant-host", argc, argv);
    while (const auto arg = args.next()) {
        if (isHelp(*arg)) {
            parsed.help = true;
        } else if (*arg == "--data") {
            if (auto v = args.value("a folder"))
                o.dataFolder = *v;
        } else if (*arg == "--documents") {
            if (auto v = args.value("a folder"))
                o.documentsFolder = *v;
        } else if (*arg == "--module") {
            if (auto v = args.value("a module file"))
                o.module = *v;
        } else if (*arg == "--run-seconds") {
            if (auto v = args.number("a number of seconds (0 or more)", 0, 1e9))
                o.runSeconds = *v;
        } else if (*arg == "--headless") {
            o.headless = true;
        } else if (*arg == "--verbose") {
            o.verbose = true;
        } else if (*arg == "--show") {
            if (auto v = args.value("a menu name (Brevant, settings)"))
                o.show.push_back(*v);
        } else if (*arg == "--screenshot") {
            if (auto v = args.value("a PNG file"))
                o.screenshot = *v;
        } else {
            args.unknown();
        }
    }
    if (args.failed())
        parsed.mistake = args.mistakeText();
    if (o.dataFolder.empty())
        o.dataFolder = defaultDataFolder();
    if (o.documentsFolder.empty())
        o.documentsFolder = o.dataFolder / "Documents";
    return parsed;
}

}  // namespace host

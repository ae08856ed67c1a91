#pragma once
// The host program's command line.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct HostProgramOptions {
    std::filesystem::path dataFolder;       // default: ~/.local/share/brevant-host
    std::filesystem::path documentsFolder;  // the game's Documents; default: <data>/Documents
    std::filesystem::path module;
    std::optional<double> runSeconds;
    bool headless = false;
    bool verbose = false;  // every line, repeats too, even on a terminal
    std::filesystem::path screenshot;
    std::vector<std::string> show;
};

struct HostCommandLine {
    HostProgramOptions options;
    bool help = false;
    std::string mistake;  // what to print (naming the argument) before exiting 2; empty when none
};

// The defaults filled in; `defaultModule` is the module built beside the program.
HostCommandLine parseHostCommandLine(int argc, char** argv,
                                     const std::filesystem::path& defaultModule);

extern const char* const hostUsage;

}  // namespace host

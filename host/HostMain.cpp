// The host program: loads the plugin module into a stand-in host that runs a game thread in
// real time, and acts as the host's console. It prints every log line and toast as it happens
// (on a terminal, a line that repeats the one before it once, see ConsolePrinter); each line of
// standard input runs as a console command. HostApp has the steps.
#include <iostream>

#include "host/HostApp.h"
#include "host/HostProgramOptions.h"

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
    host::HostApp app(commandLine.options);
    return app.run();
}

// brevant-backend: the reference backend as a program. It prints every event with a time stamp
// and reads commands from its standard input (type "help").
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <iostream>
#include <string>

#include "backend/CommandLine.h"
#include "backend/Server.h"
#include "backend/Terminal.h"
#include "platform/Signals.h"

namespace {

using namespace brevant::backend;

int usageError(const std::string& text) {
    std::cerr << "brevant-backend: " << text << "\n(try --help)\n";
    return 2;
}

// Written by the signal watcher, read by the console loop.
int wakePipe[2] = {-1, -1};

// Descriptors the program needs besides one per connection and one per upload under way (its
// file): standard streams, listeners, the event loop's own, the wake pipe, the state file's
// three, and the one a connection past the cap holds until it is closed.
constexpr std::size_t kSpareDescriptors = 24;

// A connection cap the descriptor limit cannot hold is lowered to what it can, with a line:
// past the limit, accepting fails and every new client would wait.
void fitConnectionsToDescriptors(Options& options) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return;
    const auto descriptors = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t spare = kSpareDescriptors + options.maxConcurrentUploads;
    const std::size_t fit = descriptors > 2 * spare ? descriptors - spare : descriptors / 2;
    if (options.maxConnections <= fit || fit == 0)
        return;
    printLine("--max-connections " + std::to_string(options.maxConnections) +
              " does not fit the descriptor limit (ulimit -n: " + std::to_string(descriptors) +
              "); using " + std::to_string(fit));
    options.maxConnections = fit;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.outcome == CommandLine::Outcome::Help) {
        std::cout << kUsage;
        return 0;
    }
    if (line.outcome == CommandLine::Outcome::Error)
        return usageError(line.error);
    Options options = line.options;
    fitConnectionsToDescriptors(options);

    // Before any other thread starts, so that only the watcher takes the signals.
    if (::pipe(wakePipe) != 0) {
        std::perror("brevant-backend: pipe");
        return 1;
    }
    platform::watchTerminationSignals([] {
        const char byte = 's';
        [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    });

    Server server(options);
    // Before start(), which already writes lines (the listeners).
    server.setLogSink([](const std::string& text) { printLine("[" + timestamp() + "] " + text); });
    std::string error;
    if (!server.start(&error)) {
        std::cerr << "brevant-backend: " << error << "\n"
                  << "(ports are chosen with --ws-port, --pair-port, --rank-port and "
                     "--upload-port)\n";
        return 1;
    }
    const auto ports = server.ports();
    printLine("brevant-backend on " + options.address + ": ws " + std::to_string(ports.ws) +
              ", pair " + std::to_string(ports.pair) + ", rank " + std::to_string(ports.rank) +
              ", upload " + std::to_string(ports.upload) + " (uploads in " +
              options.uploadDir.string() + ", state in " + options.statePath + ")" +
              (line.console ? "; type help for the commands" : ""));
    runConsole(server, line.console, wakePipe[0]);
    server.stop();
    return 0;
}

// brevant-backend: the reference backend as a program. It prints every event with a time stamp
// and reads commands from its standard input (type "help").
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "backend/Server.h"
#include "platform/Signals.h"

namespace {

using brevant::backend::Options;
using brevant::backend::Server;

constexpr const char* kUsage = R"(usage: brevant-backend [OPTIONS]

The reference backend of the Brevant plugin: WebSocket /ws, GET /pair-status, POST /rank-submit,
POST /upload-replay, and POST /admin (loopback only) for scripted commands.

options:
  --address A           address to listen on (default 127.0.0.1)
  --ws-port N           WebSocket port, path /ws (default 80)
  --pair-port N         GET /pair-status and POST /admin (default 80; may equal --ws-port)
  --rank-port N         POST /rank-submit (default 6567)
  --upload-port N       POST /upload-replay (default 6566)
  --upload-dir DIR      folder for received replays (default ./uploads)
  --ping-seconds S      period of {"t":"ping"} to every client, 0 = off (default 30)
  --cooldown-seconds S  rank submission cooldown per device (default 600)
  --no-console          do not read commands from standard input
  --help                this text

Port 0 picks a free port (printed at start). Ports below 1024 need root.
Commands are read from standard input, one per line ("help" lists them; "quit" stops), and
from POST /admin on the pairing port (body: one command line; the request needs the header
"X-Brevant-Admin: 1" and a loopback Host, and must not carry an Origin).
)";

std::mutex outputMutex;

void print(const std::string& text) {
    std::lock_guard lock(outputMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms.count()));
    return text;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(value) || value < 0 || value > 1e9)
            return std::nullopt;
        return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(value * 1000)));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int usageError(const std::string& text) {
    std::cerr << "brevant-backend: " << text << "\n(try --help)\n";
    return 2;
}

// Written by the signal watcher, read by the console loop.
int wakePipe[2] = {-1, -1};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.uploadDir = "uploads";
    bool console = true;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--no-console") {
            console = false;
            continue;
        }
        if (!value) {
            if (i + 1 >= argc)
                return usageError(arg + " needs a value");
            value = argv[++i];
        }
        auto port = [&](std::uint16_t& out) {
            const auto p = parsePort(*value);
            if (p)
                out = *p;
            return p.has_value();
        };
        auto seconds = [&](std::chrono::milliseconds& out) {
            const auto s = parseSeconds(*value);
            if (s)
                out = *s;
            return s.has_value();
        };
        bool ok = true;
        if (arg == "--address")
            options.address = *value;
        else if (arg == "--ws-port")
            ok = port(options.wsPort);
        else if (arg == "--pair-port")
            ok = port(options.pairPort);
        else if (arg == "--rank-port")
            ok = port(options.rankPort);
        else if (arg == "--upload-port")
            ok = port(options.uploadPort);
        else if (arg == "--upload-dir")
            options.uploadDir = *value;
        else if (arg == "--ping-seconds")
            ok = seconds(options.pingPeriod);
        else if (arg == "--cooldown-seconds")
            ok = seconds(options.rankCooldown);
        else
            return usageError("unknown option " + arg);
        if (!ok)
            return usageError("bad value for " + arg + ": " + *value);
    }

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
    server.setLogSink([](const std::string& line) { print("[" + timestamp() + "] " + line); });
    std::string error;
    if (!server.start(&error)) {
        std::cerr << "brevant-backend: " << error << "\n"
                  << "(ports are chosen with --ws-port, --pair-port, --rank-port and "
                     "--upload-port)\n";
        return 1;
    }
    const auto ports = server.ports();
    print("brevant-backend on " + options.address + ": ws " + std::to_string(ports.ws) + ", pair " +
          std::to_string(ports.pair) + ", rank " + std::to_string(ports.rank) + ", upload " +
          std::to_string(ports.upload) + " (uploads in " + options.uploadDir.string() + ")" +
          (console ? "; type help for the commands" : ""));

    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{wakePipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = ::poll(fds, console ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("brevant-backend: poll");
            break;
        }
        if (fds[0].revents != 0)
            break;  // SIGINT or SIGTERM
        if (!console || fds[1].revents == 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (interactive)
                break;  // Ctrl-D
            print("standard input ended; running until SIGINT or SIGTERM");
            console = false;
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        bool quit = false;
        for (std::size_t eol; !quit && (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos)
                continue;
            if (line == "quit" || line == "exit") {
                quit = true;
                break;
            }
            print(server.runCommand(line));
        }
        if (quit)
            break;
    }
    server.stop();
    return 0;
}

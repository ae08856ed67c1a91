#include "backend/CommandLine.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brevant::backend {

const char* const kUsage = R"(usage: brevant-backend [OPTIONS]

The reference backend of the Brevant plugin: WebSocket /ws, GET /pair-status, POST /rank-submit,
POST /upload-replay, and POST /admin (loopback only) for scripted commands.

options:
  --address A           address to listen on (default 127.0.0.1)
  --ws-port N           WebSocket port, path /ws (default 80)
  --pair-port N         GET /pair-status and POST /admin (default 80; may equal --ws-port)
  --rank-port N         POST /rank-submit (default 6567)
  --upload-port N       POST /upload-replay (default 6566)
  --upload-dir DIR      folder for received replays (default ./uploads)
  --state FILE          the SQLite file that keeps pairings, results, acks, rank cooldowns
                        and the uploads' index across restarts (default
                        ./brevant-backend.sqlite; :memory: keeps nothing)
  --ping-seconds S      period of {"t":"ping"} to every client, 0 = off (default 30)
  --cooldown-seconds S  rank submission cooldown per device (default 600)
  --max-connections N   connections open at once over all ports; at the cap a new one takes
                        the place of the oldest idle one: a request head still arriving, a
                        WebSocket without hello (closed anyway after 10 s), one whose device
                        is not paired 60 s after its hello or that left a ping unanswered
                        for 10 s, a body slower than 1 KiB/s after 10 s (default 512;
                        lowered to fit the descriptor limit, ulimit -n)
  --max-connections-per-address N
                        connections open at once from one address, loopback included; past
                        it a new one takes the place of that address's oldest idle one
                        (default 32, 0 = no limit)
  --max-uploads N       uploads received at once; a new one takes the place of the slowest
                        that has run 30 s and received under 4 KiB/s over its last 30 s
                        (default 16; 4 from one address, 2 of one device)
  --max-backlog MIB     messages waiting to be sent to all WebSocket clients; past it the
                        clients whose messages are relayed are not read until it drains
                        (default 256)
  --threads N           network threads (default: one per processor core)
  --no-console          do not read commands from standard input
  --help                this text

Port 0 picks a free port (printed at start). Ports below 1024 need root.
Commands are read from standard input, one per line ("help" lists them; "quit" stops), and
from POST /admin on the pairing port (body: one command line; the request needs the header
"X-Brevant-Admin: 1" and a loopback Host, and must not carry an Origin).
)";

namespace {

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

bool port(const std::string& value, std::uint16_t& out) {
    const auto p = parsePort(value);
    if (p)
        out = *p;
    return p.has_value();
}

bool countOrZero(const std::string& value, std::size_t& out) {
    std::size_t parsed = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (ec != std::errc() || end != value.data() + value.size())
        return false;
    out = parsed;
    return true;
}

bool count(const std::string& value, std::size_t& out) {
    std::size_t parsed = 0;
    if (!countOrZero(value, parsed) || parsed == 0)
        return false;
    out = parsed;
    return true;
}

bool seconds(const std::string& value, std::chrono::milliseconds& out) {
    const auto s = parseSeconds(value);
    if (s)
        out = *s;
    return s.has_value();
}

// An option that takes a value (as "--name VALUE" or "--name=VALUE"); false for a bad value.
struct ValueOption {
    const char* name;
    bool (*apply)(const std::string& value, Options& options);
};

const ValueOption kValueOptions[] = {
    {"--address",
     [](const std::string& v, Options& o) {
         o.address = v;
         return true;
     }},
    {"--ws-port", [](const std::string& v, Options& o) { return port(v, o.wsPort); }},
    {"--pair-port", [](const std::string& v, Options& o) { return port(v, o.pairPort); }},
    {"--rank-port", [](const std::string& v, Options& o) { return port(v, o.rankPort); }},
    {"--upload-port", [](const std::string& v, Options& o) { return port(v, o.uploadPort); }},
    {"--upload-dir",
     [](const std::string& v, Options& o) {
         o.uploadDir = v;
         return true;
     }},
    {"--state",
     [](const std::string& v, Options& o) {
         o.statePath = v;
         return !v.empty();
     }},
    {"--ping-seconds", [](const std::string& v, Options& o) { return seconds(v, o.pingPeriod); }},
    {"--cooldown-seconds",
     [](const std::string& v, Options& o) { return seconds(v, o.rankCooldown); }},
    {"--max-connections",
     [](const std::string& v, Options& o) { return count(v, o.maxConnections); }},
    {"--max-connections-per-address",
     [](const std::string& v, Options& o) { return countOrZero(v, o.maxConnectionsPerAddress); }},
    {"--max-uploads",
     [](const std::string& v, Options& o) { return count(v, o.maxConcurrentUploads); }},
    {"--threads", [](const std::string& v, Options& o) { return count(v, o.networkThreads); }},
    {"--max-backlog",
     [](const std::string& v, Options& o) {
         std::size_t mebibytes = 0;
         if (!count(v, mebibytes) || mebibytes > (std::size_t(1) << 20))
             return false;
         o.maxBacklogBytes = mebibytes * 1024 * 1024;
         return true;
     }},
};

const ValueOption* findValueOption(const std::string& name) {
    for (const ValueOption& option : kValueOptions) {
        if (name == option.name)
            return &option;
    }
    return nullptr;
}

CommandLine failed(std::string error) {
    CommandLine line;
    line.outcome = CommandLine::Outcome::Error;
    line.error = std::move(error);
    return line;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    line.options.uploadDir = "uploads";
    line.options.statePath = "brevant-backend.sqlite";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--help" || arg == "-h") {
            line.outcome = CommandLine::Outcome::Help;
            return line;
        }
        if (arg == "--no-console") {
            line.console = false;
            continue;
        }
        // Everything else takes a value; an unknown option is named as such wherever it stands.
        const ValueOption* option = findValueOption(arg);
        if (!option)
            return failed("unknown option " + arg);
        if (!value) {
            if (i + 1 >= argc)
                return failed(arg + " needs a value");
            value = argv[++i];
        }
        if (!option->apply(*value, line.options))
            return failed("bad value for " + arg + ": " + *value);
    }
    return line;
}

}  // namespace brevant::backend

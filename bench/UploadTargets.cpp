// P4: the replay upload beside curl posting the same file as a form to the same server. Each
// side is timed by itself, around its own transfer: the plugin's upload as the outbox's thread
// makes it (reading the file, sending it, reading the answer), curl by its own total time
// (-w %{time_total}), so that starting a process is in neither figure. The two take turns.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchBackend.h"
#include "bench/Targets.h"
#include "platform/Text.h"
#include "replays/ReplayUpload.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t replayBytes = 20 * 1024 * 1024;
constexpr int runs = 9;

// curl's own time for one upload, in nanoseconds; negative when curl failed.
double curlUpload(const std::filesystem::path& file, std::uint16_t port) {
    const std::string command =
        "curl -s -o /dev/null -w '%{time_total}' -H 'Expect:' -H 'x-api-key: "
        "qworlenstapifendrux' -H 'x-client: brevant-plugin' -F deviceId=bench-device -F "
        "server=Sala -F uploader=Bench -F 'file=@" +
        file.string() +
        ";filename=replay_VXA_bench.replay;type=application/octet-stream' "
        "http://127.0.0.1:" +
        std::to_string(port) + "/upload-replay";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    double seconds = -1;
    if (std::fscanf(pipe, "%lf", &seconds) != 1)
        seconds = -1;
    return ::pclose(pipe) == 0 && seconds > 0 ? seconds * 1e9 : -1;
}

const bool registered = addTarget("P4 upload", [] {
    BenchBackend backend("brevant-bench-upload");
    const auto file = backend.demos / "replay_VXA_bench.replay";
    std::ofstream(file, std::ios::binary) << std::string(replayBytes, 'r');
    const brevant::outbox::ReplayRecord record{file.string(),  replayBytes, 0,      true,
                                               "bench-device", "Sala",      "Bench"};
    std::vector<double> plugin, curl;
    bool failed = false;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const auto outcome = brevant::replays::sendReplay(record, 0, {});
        plugin.push_back(static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1)));
        const double c = curlUpload(file, backend.server->ports().upload);
        curl.push_back(c);
        failed = failed || outcome != brevant::outbox::Attempt::Delivered || c < 0;
    }
    const double p = percentile(plugin, 50), c = percentile(curl, 50);
    const double ratio = c / p;
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.2fx", ratio);
    return std::vector<TargetRow>{{"P4 upload of 20 MiB, speed beside curl -F",
                                   failed ? "failed" : figure, ">= 0.90x of curl",
                                   !failed && ratio >= 0.9,
                                   "plugin " + formatNanos(p) + ", curl " + formatNanos(c) +
                                       " (medians of " + std::to_string(runs) + ", taking turns)"}};
});

}  // namespace
}  // namespace bench

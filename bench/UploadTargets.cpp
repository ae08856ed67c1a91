// P4: the replay upload beside curl posting the same file as a form to the same server. Each
// side is timed by itself, around its own transfer: the plugin's upload as the outbox's thread
// makes it (reading the file, sending it, reading the answer), curl by its own total time
// (-w %{time_total}), so that starting a process is in neither figure. The two take turns, each
// upload under a name of its own, so that none takes the backend's path for a repeated file.
// Then the memory a 50 MiB upload adds to the process at its peak.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
double curlUpload(const std::filesystem::path& file, const std::string& name, std::uint16_t port) {
    const std::string command =
        "curl -s -o /dev/null -w '%{time_total}' -H 'Expect:' -H 'x-api-key: "
        "qworlenstapifendrux' -H 'x-client: brevant-plugin' -F deviceId=bench-device -F "
        "server=Sala -F uploader=Bench -F 'file=@" +
        file.string() + ";filename=" + name +
        ";type=application/octet-stream' "
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

// The process's resident memory in kB: now (VmRSS) or at its peak (VmHWM).
long residentKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

// How much a 50 MiB replay's upload raises the process's peak memory: the peak is reset
// (clear_refs 5) once the file is written, and read again after the upload.
TargetRow uploadMemory(BenchBackend& backend) {
    constexpr std::size_t bytes = 50 * 1024 * 1024;
    const auto file = backend.demos / "replay_VXA_bench_50.replay";
    {
        std::ofstream out(file, std::ios::binary);
        const std::string mebibyte(1024 * 1024, 'm');
        for (std::size_t i = 0; i < bytes / mebibyte.size(); ++i)
            out << mebibyte;
    }
    const bool reset = static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5");
    const long before = residentKb("VmRSS:");
    const auto outcome = brevant::replays::sendReplay(
        {file.string(), bytes, 0, true, "bench-device", "Sala", "Bench"}, 0, {});
    const long peak = residentKb("VmHWM:");
    const bool ok =
        reset && before > 0 && peak > 0 && outcome == brevant::outbox::Attempt::Delivered;
    const double added = ok ? static_cast<double>(peak - before) / 1024 : -1;
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.1f MB", added);
    return {"P4 upload of 50 MiB, peak memory added", ok ? figure : "failed", "< 8 MB",
            ok && added < 8,
            "VmHWM after the upload minus VmRSS before it (peak reset with clear_refs); the "
            "backend receiving it runs in the same process"};
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
        auto fresh = record;
        const auto copy = backend.demos / ("replay_VXA_bench_" + std::to_string(i) + ".replay");
        std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
        fresh.path = copy.string();
        const auto start = Clock::now();
        const auto outcome = brevant::replays::sendReplay(fresh, 0, {});
        plugin.push_back(static_cast<double>((Clock::now() - start) / std::chrono::nanoseconds(1)));
        const double c = curlUpload(file, "replay_VXA_curl_" + std::to_string(i) + ".replay",
                                    backend.server->ports().upload);
        curl.push_back(c);
        failed = failed || outcome != brevant::outbox::Attempt::Delivered || c < 0;
    }
    const double p = percentile(plugin, 50), c = percentile(curl, 50);
    const double ratio = c / p;
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.2fx", ratio);
    std::vector<TargetRow> rows{
        {"P4 upload of 20 MiB, speed beside curl -F", failed ? "failed" : figure,
         ">= 0.90x of curl", !failed && ratio >= 0.9,
         "plugin " + formatNanos(p) + ", curl " + formatNanos(c) + " (medians of " +
             std::to_string(runs) + ", taking turns, fresh names)"}};
    rows.push_back(uploadMemory(backend));
    return rows;
});

}  // namespace
}  // namespace bench

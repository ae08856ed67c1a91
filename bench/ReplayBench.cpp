// The replay watcher and upload: one poll of a folder of 10,000 replays against a bare walk of
// the same folder that reads each entry's time (readdir and fstatat); the watcher's idle CPU on
// 1,000 replays; the memory a 5 MB upload holds; and how long unload holds the game thread while
// the watcher sits in a stability wait with the WebSocket connected.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "bench/BenchBackend.h"
#include "core/Globals.h"
#include "core/Workers.h"
#include "net/BackendEndpoint.h"
#include "platform/Text.h"
#include "plugin/Brevant.h"
#include "replays/ReplayFiles.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayUpload.h"
#include "replays/ReplayWatcher.h"
#include "sdk/HostRuntime.h"

// Counting allocator: what the calling thread allocates while `counting` is set on it, and the
// peak of what it holds of that, so an upload's extra memory is measured without the backend's
// threads in it. Each block carries its size and whether it was counted.
namespace {
thread_local bool counting = false;
thread_local long long held = 0;
thread_local long long peak = 0;
constexpr std::size_t header = 16;
}  // namespace

void* operator new(std::size_t size) {
    auto* base = static_cast<char*>(std::malloc(size + header));
    if (!base)
        throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(base) = size;
    base[sizeof(std::size_t)] = counting ? 1 : 0;
    if (counting) {
        held += static_cast<long long>(size);
        peak = std::max(peak, held);
    }
    return base + header;
}
namespace {
void release(void* p) noexcept {
    if (!p)
        return;
    char* base = static_cast<char*>(p) - header;
    if (base[sizeof(std::size_t)])
        held -= static_cast<long long>(*reinterpret_cast<std::size_t*>(base));
    std::free(base);
}
}  // namespace
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}

namespace {
namespace fs = std::filesystem;

// A folder of `count` small replays, made once per size and removed at exit.
struct ReplayFolder {
    explicit ReplayFolder(int count, const std::string& name) {
        path = fs::temp_directory_path() / name;
        fs::remove_all(path);
        fs::create_directories(path);
        for (int i = 0; i < count; ++i)
            std::ofstream(path / ("replay_" + std::to_string(i) + ".replay")) << "r";
    }
    ~ReplayFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

const ReplayFolder& tenThousand() {
    static ReplayFolder folder(10'000, "brevant-bench-10000");
    return folder;
}

void watcherPoll10000(benchmark::State& state) {
    const std::wstring folder = platform::pathToWide(tenThousand().path);
    for (auto _ : state) {
        // One poll: the scan, then the newest replay's time.
        auto newest = brevant::newestWrittenReplay(folder);
        std::error_code ec;
        benchmark::DoNotOptimize(fs::last_write_time(platform::widePath(*newest), ec));
    }
}
BENCHMARK(watcherPoll10000)->Unit(benchmark::kMillisecond);

// The yardstick: the least a walk that reads each entry's time can do on POSIX.
void bareWalk10000(benchmark::State& state) {
    const fs::path folder = tenThousand().path;
    for (auto _ : state) {
        DIR* dir = ::opendir(folder.c_str());
        std::int64_t newest = 0;
        while (const dirent* entry = ::readdir(dir)) {
            struct stat status {};
            if (::fstatat(::dirfd(dir), entry->d_name, &status, 0) == 0)
                newest = std::max<std::int64_t>(newest, status.st_mtim.tv_nsec);
        }
        ::closedir(dir);
        benchmark::DoNotOptimize(newest);
    }
}
BENCHMARK(bareWalk10000)->Unit(benchmark::kMillisecond);

// The CPU time of this process's thread named `name`, from that thread's own CPU clock.
double threadCpuSeconds(const std::string& name) {
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm != name)
            continue;
        const pid_t tid = std::stoi(task.path().filename().string());
        // The kernel's per-thread CPU clock of another thread (CPUCLOCK_PERTHREAD, SCHED).
        const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
        timespec ts{};
        if (clock_gettime(clock, &ts) == 0)
            return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }
    return -1;
}

// The watcher idle on 1,000 replays for BREVANT_BENCH_IDLE_SECONDS (60 by default): its CPU
// time over the wall time, in percent of one core.
void watcherIdleCpu(benchmark::State& state) {
    static ReplayFolder folder(1'000, "brevant-bench-1000");
    const char* env = std::getenv("BREVANT_BENCH_IDLE_SECONDS");
    const int seconds = env ? std::atoi(env) : 60;
    brevant::watchedReplayFolder = platform::pathToWide(folder.path);
    for (auto _ : state) {
        brevant::startReplayWatcher();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double before = threadCpuSeconds("brv-watcher");
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double used = threadCpuSeconds("brv-watcher") - before;
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        brevant::stopReplayWatcher();
        state.counters["cpu_percent_of_core"] = 100.0 * used / wall.count();
        state.SetIterationTime(wall.count());
    }
    brevant::watchedReplayFolder.clear();
}
BENCHMARK(watcherIdleCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

using Backend = bench::BenchBackend;

constexpr std::size_t fiveMegabytes = 5 * 1024 * 1024;

// A 5 MB owned replay, uploaded by the plugin's upload on this thread (as the outbox's thread
// does it).
void upload5MB(benchmark::State& state) {
    Backend backend;
    const auto file = backend.demos / "replay_VXA_bench.replay";
    std::ofstream(file, std::ios::binary) << std::string(fiveMegabytes, 'r');
    const brevant::outbox::ReplayRecord record{file.string(),  fiveMegabytes, 0,      true,
                                               "bench-device", "Sala",        "Bench"};
    long long extra = 0;
    for (auto _ : state) {
        held = peak = 0;
        counting = true;
        const auto outcome = brevant::replays::sendReplay(record, 0, {});
        counting = false;
        extra = std::max(extra, peak);
        if (outcome != brevant::outbox::Attempt::Delivered)
            state.SkipWithError("the upload failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fiveMegabytes));
    state.counters["peak_extra_over_file"] =
        static_cast<double>(extra) / static_cast<double>(fiveMegabytes);
}
BENCHMARK(upload5MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// onUnload on the game thread, with the WebSocket connected and the watcher waiting for a
// replay that is still growing.
void unloadDuringStabilityWait(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Backend backend;
        const fs::path data = backend.folder / "data";
        fs::create_directories(data / "cfg");
        std::ofstream(data / "cfg" / "config.cfg")
            << "brv_replay_dir \"" << backend.demos.string() << "\"\n";
        auto rt = sdk::HostRuntime::create({sdk::ClockMode::RealTime, data});
        rt->startGameThread();
        auto plugin = std::make_shared<brevant::Brevant>();
        plugin->cvarManager = rt->makeCvarManager();
        plugin->gameWrapper = rt->makeGameWrapper();
        rt->runOnGameThread([&] { plugin->onLoad(); });
        if (!backend.server->waitUntil([&] { return !backend.server->clients().empty(); },
                                       std::chrono::seconds(10)))
            state.SkipWithError("the WebSocket did not connect");
        std::atomic<bool> writing{true};
        std::thread game([&] {
            std::ofstream out(backend.demos / "growing.replay", std::ios::binary);
            while (writing) {
                out << std::string(4096, 'r') << std::flush;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the first poll
        double heldSeconds = 0;
        state.ResumeTiming();
        rt->runOnGameThread([&] {
            const auto start = std::chrono::steady_clock::now();
            plugin->onUnload();
            heldSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        state.PauseTiming();
        state.SetIterationTime(heldSeconds);
        writing = false;
        game.join();
        brevant::waitForWorkers(std::chrono::seconds(10));
        rt->stopGameThread();
        rt->forgetPluginCallbacks();
        state.ResumeTiming();
    }
}
BENCHMARK(unloadDuringStabilityWait)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

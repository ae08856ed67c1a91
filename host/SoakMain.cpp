// brevant-soak: league evenings drawn from seeds, played by the reference backend and three host
// programs as real processes, with faults, then checked against the invariants.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "host/CommandLine.h"
#include "host/SoakChecks.h"

namespace {

namespace fs = std::filesystem;
using host::soak::Verdict;

struct Options {
    fs::path folder = "brevant-soak-data";
    fs::path hostProgram = BREVANT_HOST_PROGRAM;
    fs::path module = BREVANT_DEFAULT_MODULE;
    fs::path backendProgram = BREVANT_BACKEND_PROGRAM;
    std::optional<std::uint64_t> seed;
    int evenings = 1;
    bool keep = false;
    fs::path regression;  // a file of seeds, each checked in full
    int fresh = 0;        // fresh seeds after those, failing only on the data invariants
};

const char* const kUsage =
    "usage: brevant-soak [--seed N] [--evenings K] [--keep] [--data DIR]\n"
    "                    [--regression FILE --fresh K] [--host FILE] [--module FILE]\n"
    "                    [--backend FILE] [--help]\n"
    "  Plays league evenings, each drawn from a seed: the reference backend and three host\n"
    "  programs (A, B, C) as processes, series back to back with changing hosts, a player's\n"
    "  own match, faults of the backend, the uploads and the clients; then a quiet period, and\n"
    "  the invariants, one line each. A failing evening prints its seed, the invariant, the\n"
    "  timeline around the violation and the command that plays it again.\n"
    "  --seed N        the first evening's seed (the next ones count up); default: fresh seeds\n"
    "  --evenings K    how many evenings (default 1)\n"
    "  --keep          keep the folders of passing evenings too (DIR/seed-N)\n"
    "  --data DIR      where the evenings play (default brevant-soak-data)\n"
    "  --regression FILE  play every seed listed in FILE (one per line, '#' starts a comment),\n"
    "                  then --fresh K fresh seeds whose health invariants are only reported\n";

std::optional<int> parse(int argc, char** argv, Options& o) {
    bool help = false;
    host::CommandLine args("brevant-soak", argc, argv);
    while (const auto arg = args.next()) {
        if (host::isHelp(*arg)) {
            help = true;
        } else if (*arg == "--seed") {
            if (auto v = args.number("a seed (a whole number)", 0, 9e15, true))
                o.seed = static_cast<std::uint64_t>(*v);
        } else if (*arg == "--evenings") {
            if (auto v = args.number("a number of evenings", 1, 10000, true))
                o.evenings = static_cast<int>(*v);
        } else if (*arg == "--fresh") {
            if (auto v = args.number("a number of fresh seeds", 0, 100, true))
                o.fresh = static_cast<int>(*v);
        } else if (*arg == "--keep") {
            o.keep = true;
        } else if (*arg == "--data") {
            if (auto v = args.value("a folder"))
                o.folder = *v;
        } else if (*arg == "--regression") {
            if (auto v = args.value("a file of seeds"))
                o.regression = *v;
        } else if (*arg == "--host") {
            if (auto v = args.value("the host program"))
                o.hostProgram = *v;
        } else if (*arg == "--module") {
            if (auto v = args.value("a module file"))
                o.module = *v;
        } else if (*arg == "--backend") {
            if (auto v = args.value("the backend program"))
                o.backendProgram = *v;
        } else {
            args.unknown();
        }
    }
    if (args.failed()) {
        std::cerr << args.mistakeText();
        return 2;
    }
    if (help) {
        std::cout << kUsage;
        return 0;
    }
    return std::nullopt;
}

std::uint64_t freshSeed() {
    std::random_device device;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    return ((static_cast<std::uint64_t>(device()) << 20) ^ now) % 1000000000ULL;
}

// The timeline around a violation: from 12 s before to 4 s after it (or the evening's end).
void printAround(const std::vector<host::TimelineEvent>& events, double at) {
    std::vector<const host::TimelineEvent*> shown;
    for (const auto& e : events)
        if (at < 0 ? &e >= &events.back() - 40 : (e.seconds >= at - 12 && e.seconds <= at + 4))
            shown.push_back(&e);
    const std::size_t limit = 120;
    const std::size_t skip = shown.size() > limit ? shown.size() - limit : 0;
    if (skip > 0)
        std::cout << "    ... (" << skip << " earlier lines in the evening's timeline.log)\n";
    for (std::size_t i = skip; i < shown.size(); ++i)
        std::cout << "    " << host::formatTimelineEvent(*shown[i]) << "\n";
}

// Plays one evening and prints its verdicts; true when every invariant that counts held.
bool evening(const Options& o, std::uint64_t seed, bool healthCounts) {
    const fs::path folder = fs::absolute(o.folder) / ("seed-" + std::to_string(seed));
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    std::ofstream log(folder.string() + ".timeline.log");
    host::Timeline timeline([&log](const std::string& line) { log << line << "\n"; });
    std::cout << "evening of seed " << seed << std::flush;
    const auto started = std::chrono::steady_clock::now();
    host::soak::EveningSetup setup{o.hostProgram, o.module, o.backendProgram, folder};
    const auto record = host::soak::playEvening(setup, seed, timeline);
    const auto verdicts = host::soak::checkEvening(record);
    const auto took =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    std::cout << " (" << record.plan.steps.size() << " steps, " << took << " s)\n";
    const Verdict* first = nullptr;
    for (const auto& v : verdicts) {
        const bool counts = v.data || healthCounts;
        std::cout << "  "
                  << (v.pass   ? "PASS"
                      : counts ? "FAIL"
                               : "fail (reported only)")
                  << "  " << v.name << ": " << v.counts << "\n";
        if (!v.pass)
            std::cout << "        " << v.violation << "\n";
        if (!v.pass && counts && !first)
            first = &v;
    }
    log.flush();
    if (!first) {
        if (!o.keep) {
            fs::remove_all(folder, ec);
            fs::remove(folder.string() + ".timeline.log", ec);
        }
        return true;
    }
    std::cout << "seed " << seed << " FAILED: " << first->name << ": " << first->violation << "\n"
              << "  the timeline around it (all of it: " << folder.string() << ".timeline.log):\n";
    printAround(record.events, first->at);
    std::cout << "  plays again with: ./dev soak --seed " << seed << "\n";
    return false;
}

std::vector<std::uint64_t> seedsIn(const fs::path& file, bool& ok) {
    std::ifstream in(file);
    ok = static_cast<bool>(in);
    std::vector<std::uint64_t> seeds;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::uint64_t seed = 0;
        if (words >> seed)
            seeds.push_back(seed);
    }
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const auto code = parse(argc, argv, o))
        return *code;
    // Run detached (CI, a background job), the soak's process group has no parent in its
    // session, and the kernel hangs such a group up when one of it is stopped and a process
    // exits: the frozen backend would die of SIGHUP. Ignored here, it is ignored by the
    // programs started from here too, which install no handler of their own for it.
    std::signal(SIGHUP, SIG_IGN);
    int failed = 0;
    int played = 0;
    if (!o.regression.empty()) {
        bool ok = false;
        const auto seeds = seedsIn(o.regression, ok);
        if (!ok) {
            std::cerr << "brevant-soak: cannot read " << o.regression << "\n";
            return 2;
        }
        std::cout << "regression seeds (" << o.regression.string() << "):";
        for (auto s : seeds)
            std::cout << " " << s;
        std::cout << "\n";
        for (auto s : seeds) {
            ++played;
            failed += evening(o, s, true) ? 0 : 1;
        }
        std::vector<std::uint64_t> fresh;
        for (int i = 0; i < o.fresh; ++i)
            fresh.push_back(freshSeed());
        std::cout << "fresh seeds (their health invariants are reported, not counted):";
        for (auto s : fresh)
            std::cout << " " << s;
        std::cout << "\n";
        for (auto s : fresh)
            failed += evening(o, s, false) ? 0 : 1;
        played += o.fresh;
    } else {
        for (int i = 0; i < o.evenings; ++i, ++played) {
            const std::uint64_t seed =
                o.seed ? *o.seed + static_cast<std::uint64_t>(i) : freshSeed();
            failed += evening(o, seed, true) ? 0 : 1;
        }
    }
    std::cout << played << " evenings, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}

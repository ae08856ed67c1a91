#pragma once
// The performance targets `./dev bench` reports after the micro-benchmarks: each a figure
// measured the way players meet it, printed against its limit. A figure past its limit is
// shown as such; nothing fails on a busy machine.
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct TargetRow {
    std::string target;  // "P1 watchdog step, ext4: CPU max"
    std::string figure;  // what was measured
    std::string limit;   // what it is held to
    bool met = true;
    std::string note;  // how it was measured, or what else is worth knowing
};

using TargetMeasure = std::function<std::vector<TargetRow>()>;

// Registers a measurement; returns something to initialise a static with.
bool addTarget(const char* name, TargetMeasure measure);

// Runs the measurements whose name contains `filter` (all when empty) and prints the table.
// Returns how many rows were past their limit.
int runTargets(const std::string& filter);

// Distribution helpers (nanoseconds in, any unit out).
double percentile(std::vector<double> values, double p);
std::string formatNanos(double ns);

}  // namespace bench

#include "bench/Targets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>

namespace bench {
namespace {

std::map<std::string, TargetMeasure>& registry() {
    static std::map<std::string, TargetMeasure> targets;
    return targets;
}

}  // namespace

bool addTarget(const char* name, TargetMeasure measure) {
    registry().emplace(name, std::move(measure));
    return true;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double at = p / 100.0 * static_cast<double>(values.size() - 1);
    return values[static_cast<std::size_t>(std::lround(at))];
}

std::string formatNanos(double ns) {
    char text[64];
    if (ns < 1e3)
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    else if (ns < 1e6)
        std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    else if (ns < 1e9)
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    else
        std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
    return text;
}

int runTargets(const std::string& filter) {
    std::vector<TargetRow> rows;
    for (const auto& [name, measure] : registry()) {
        if (!filter.empty() && name.find(filter) == std::string::npos)
            continue;
        std::cerr << "measuring " << name << "..." << std::endl;
        for (auto& row : measure())
            rows.push_back(std::move(row));
    }
    std::size_t width[3] = {6, 6, 5};
    for (const auto& r : rows) {
        width[0] = std::max(width[0], r.target.size());
        width[1] = std::max(width[1], r.figure.size());
        width[2] = std::max(width[2], r.limit.size());
    }
    auto pad = [](const std::string& s, std::size_t w) {
        return s + std::string(w - s.size(), ' ');
    };
    std::cout << "\n"
              << pad("target", width[0]) << "  " << pad("figure", width[1]) << "  "
              << pad("limit", width[2]) << "  met   note\n";
    int missed = 0;
    for (const auto& r : rows) {
        missed += r.met ? 0 : 1;
        std::cout << pad(r.target, width[0]) << "  " << pad(r.figure, width[1]) << "  "
                  << pad(r.limit, width[2]) << "  " << (r.met ? "yes " : "NO  ") << "  " << r.note
                  << "\n";
    }
    return missed;
}

}  // namespace bench

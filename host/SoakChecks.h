#pragma once
// The invariants a league evening must keep, checked on what the soak recorded: the data ones
// (every game recorded once, every owned replay stored once and whole, nothing of a match outside
// a series, no series map in another match, one rotation per series) and the health ones (no
// crash, no sanitizer report, no temporary file, no outbox record left, console answers within
// 3 s, every client back within its bound after its network came back, no status claiming a live
// connection through a silent network, unloads under 100 ms).
#include <string>
#include <vector>

#include "host/SoakEvening.h"

namespace host::soak {

struct Verdict {
    std::string name;
    bool data = true;  // a data invariant, else a health one
    bool pass = true;
    std::string counts = {};     // "12 games, 12 recorded once, 1 apart"
    std::string violation = {};  // the first one, when failed
    double at = -1;              // when it happened on the timeline, when known
};

std::vector<Verdict> checkEvening(const EveningRecord& record);

}  // namespace host::soak

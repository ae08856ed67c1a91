#pragma once
// Whether the backend has paired this device with a Discord account. Until `paired` is true the
// plugin is in safe mode. Written by the pairing-status query and by the backend's "paired_ok"
// and "pair_required" messages, with sequentially consistent exchanges; the last write wins.
#include <atomic>

namespace brevant {

extern std::atomic<bool> paired;
extern std::atomic<bool> pairStatusKnown;

// The predicate the rank submission is given.
bool isPaired();

// Both flags back to false, as at a first load.
void resetPairingState();

}  // namespace brevant

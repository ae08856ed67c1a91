#pragma once
// Whether the backend has paired this device with a Discord account. Until `paired` is true the
// plugin is in safe mode. Written by the pairing-status query and by the backend's "paired_ok"
// and "pair_required" messages. The backend's messages are its latest word: an HTTP answer whose
// query began before the latest of them is stale and leaves the flags alone, however late it
// arrives. Readers load the flags; writers go through the functions below.
#include <atomic>
#include <cstdint>

namespace brevant {

extern std::atomic<bool> paired;
extern std::atomic<bool> pairStatusKnown;

// The predicate the rank submission is given.
bool isPaired();

// Both flags back to false, as at a first load.
void resetPairingState();

// A "paired_ok" (true) or "pair_required" (false) from the backend: sets both flags. Any thread.
void notePairingMessage(bool isPairedNow);

// Taken when a pairing-status query begins; given back with its answer.
std::uint64_t pairingQueryBegins();
// The answer of a query begun at `began`: a failed query makes the status unknown and leaves
// `paired`; a good one sets both. Not applied when a pairing message arrived since the query
// began (false then).
bool applyPairStatusAnswer(std::uint64_t began, bool ok, bool registered);

}  // namespace brevant

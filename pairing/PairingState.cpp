#include "pairing/PairingState.h"

#include <mutex>

namespace brevant {

std::atomic<bool> paired{false};
std::atomic<bool> pairStatusKnown{false};

namespace {

// Writers hold it, so that a stale answer's check and its write cannot straddle a message.
std::mutex writeMutex;
std::uint64_t messagesSeen = 0;  // pairing messages so far; guarded by writeMutex

}  // namespace

bool isPaired() {
    return paired.load();
}

void resetPairingState() {
    std::lock_guard lk(writeMutex);
    paired.store(false);
    pairStatusKnown.store(false);
}

void notePairingMessage(bool isPairedNow) {
    std::lock_guard lk(writeMutex);
    ++messagesSeen;
    pairStatusKnown.store(true);
    paired.store(isPairedNow);
}

std::uint64_t pairingQueryBegins() {
    std::lock_guard lk(writeMutex);
    return messagesSeen;
}

bool applyPairStatusAnswer(std::uint64_t began, bool ok, bool registered) {
    std::lock_guard lk(writeMutex);
    if (messagesSeen != began)
        return false;
    pairStatusKnown.store(ok);
    if (ok)
        paired.store(registered);
    return true;
}

}  // namespace brevant

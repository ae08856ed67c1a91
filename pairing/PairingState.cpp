#include "pairing/PairingState.h"

namespace brevant {

std::atomic<bool> paired{false};
std::atomic<bool> pairStatusKnown{false};

bool isPaired() {
    return paired.load();
}

void resetPairingState() {
    paired.store(false);
    pairStatusKnown.store(false);
}

}  // namespace brevant

#include "pairing/PairingState.h"

namespace brevant {

std::atomic<bool> paired{false};
std::atomic<bool> pairStatusKnown{false};

bool isPaired() {
    return paired.load();
}

}  // namespace brevant

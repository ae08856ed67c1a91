#include "rotation/RotationSync.h"

namespace brevant {

// The state-sync messages arrive with the rotation engine; until then the places that will
// publish or ask for the state already call these.
void broadcastRotationState() {}

void requestRotationStateIfMissing() {}

}  // namespace brevant

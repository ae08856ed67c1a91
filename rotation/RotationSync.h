#pragma once
// Publishing and asking for the rotation state among the clients of a match.

namespace brevant {

// Sends the rotation state to the other clients of the match ("rotate_state").
void broadcastRotationState();

// In a private match whose rotation this plugin does not know, asks the host side for it
// ("rotate_state_req"), unless a request is already pending. Game thread.
void requestRotationStateIfMissing();

}  // namespace brevant

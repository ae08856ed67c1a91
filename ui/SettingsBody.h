#pragma once
// What the settings tab and the plugin window show: the device identifier, the safe-mode
// warning while unpaired, the pairing and rank buttons, the pairing status and the short
// instructions. Drawn with Dear ImGui into the current window, once per frame.

namespace brevant {

// Reads everything again each frame (atomics, the identifier, a console variable) and acts only
// by posting to the game thread or starting a worker, so any thread that owns the frame may
// call it.
void renderCommonUi();

}  // namespace brevant

#pragma once
// Reading the plugin's console variables from any thread, through the global console handle.

namespace brevant {

// The variable as a bool; `whenUnreadable` when it cannot be read (no console, no such variable,
// the host failed).
bool settingOn(const char* cvar, bool whenUnreadable);

}  // namespace brevant

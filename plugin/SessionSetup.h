#pragma once
// The session with the backend as the plugin runs it: its routes, what each open says first, and
// whether it reopens by itself.
#include "net/BackendSession.h"

namespace brevant {

// Game thread (it reads the player's identifiers from the game once, for every open of this
// session): on each open, "hello", then the series' state request when in a series, then the
// outbox; reopened by itself when brv_ws_reconnect says so.
SessionSetup pluginSessionSetup();

}  // namespace brevant

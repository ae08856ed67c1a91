#pragma once
// The plugin's console variables and commands.
#include <memory>
#include <string>

class CVarManagerWrapper;

namespace brevant {

// Variables 1 to 9, registered before the device identifier is known.
void registerEarlyCvars(CVarManagerWrapper& cvars);
// Variable 10, brv_deviceid, whose default is the device identifier. A value the host kept from
// an earlier run that is not the identifier in use (the file was replaced or lost since) is
// replaced by it, with a line naming both: the player must never pair an identifier the plugin
// does not use. Within a run, a text the player types stays.
void registerDeviceIdCvar(CVarManagerWrapper& cvars, const std::string& id);
// Variable 11, brv_menu_bind.
void registerMenuBindCvar(CVarManagerWrapper& cvars);

void registerUploadCommand(CVarManagerWrapper& cvars);
// brevant_ui and brv_rank.
void registerUiAndRankCommands(CVarManagerWrapper& cvars);
// brv_outbox and brv_outbox_retry: what waits to be delivered, and trying it now.
void registerOutboxCommands(CVarManagerWrapper& cvars);
// brv_ws_reconnect, brv_ws_connect and brv_status: the session's reconnection and what the
// status panel shows.
void registerSessionCvarAndCommands(CVarManagerWrapper& cvars);

// Binds the key named by brv_menu_bind to the plugin window, when it names one.
void applyMenuBind(CVarManagerWrapper& cvars);

}  // namespace brevant

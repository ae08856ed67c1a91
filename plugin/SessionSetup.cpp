#include "plugin/SessionSetup.h"

#include <string>

#include "core/Globals.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "net/Json.h"
#include "outbox/Outbox.h"
#include "plugin/MessageRoutes.h"
#include "rotation/RotationSync.h"

namespace brevant {
namespace {

// "hello" with the identifiers and platform as the game tells them now. Game thread.
std::string helloText() {
    std::string epicId;
    std::string steamId = "0";
    const char* platform = "unknown";
    if (const auto game = globalGameWrapper.load()) {
        GameWrapper& gw = *game;
        platform = gw.IsUsingSteamVersion()  ? "steam"
                   : gw.IsUsingEpicVersion() ? "epic"
                                             : "unknown";
        epicId = gw.GetEpicID();
        steamId = std::to_string(gw.GetSteamID());
    }
    return dumpJson({
        {"t", "hello"},
        {"version", pluginVersion},
        {"deviceId", deviceId},
        {"epicId", epicId},
        {"steamId", steamId},
        {"platform", platform},
    });
}

}  // namespace

SessionSetup pluginSessionSetup() {
    return {messageRoutes(),
            [hello = helloText()] {
                sendToBackend(hello);
                // What an earlier session may have lost goes first, before the line that says
                // the session is open: who reads that line finds them sent.
                outbox::sessionOpened();
                logLine("[BRV] Concetado");
                requestRotationStateOnOpen();
            },
            [] { return settingOn("brv_ws_reconnect", false); }};
}

}  // namespace brevant

#include "replays/ReplayNames.h"

#include "core/Globals.h"
#include "platform/Text.h"
#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace brevant {

std::wstring ownedReplayPrefix() {
    std::string prefix = "replay_VXA_";
    try {
        if (auto cvars = globalCvarManager.load())
            prefix = cvars->getCvar("brv_owned_replay_prefix").getStringValue();
    } catch (...) {
        prefix = "replay_VXA_";
    }
    return platform::utf8ToWide(prefix);
}

std::string localPlayerName(GameWrapper* gw) {
    if (!gw)
        return {};
    try {
        auto controller = gw->GetPlayerController();
        if (controller.IsNull())
            return {};
        auto pri = controller.GetPRI();
        if (pri.IsNull())
            return {};
        return pri.GetPlayerName().ToString();
    } catch (...) {
        return {};
    }
}

bool switchOn(const char* cvar) {
    try {
        if (auto cvars = globalCvarManager.load())
            return cvars->getCvar(cvar).getBoolValue();
    } catch (...) {
    }
    return true;
}

}  // namespace brevant

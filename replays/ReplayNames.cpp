#include "replays/ReplayNames.h"

#include <mutex>
#include <utility>

#include "core/Globals.h"
#include "core/LocalPlayer.h"
#include "core/Log.h"
#include "platform/Text.h"
#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace brevant {

namespace {

constexpr const char* defaultPrefix = "replay_VXA_";
constexpr std::size_t maxPrefixBytes = 32;

// A prefix goes in front of a file name: it may not lead anywhere else.
bool safePrefix(const std::string& prefix) {
    return prefix.size() <= maxPrefixBytes && prefix.find_first_of("/\\:") == std::string::npos &&
           prefix.find("..") == std::string::npos;
}

std::mutex refusedMutex;
std::string refusedPrefix;  // the last one refused, said once

}  // namespace

std::wstring ownedReplayPrefix() {
    std::string prefix = defaultPrefix;
    try {
        if (auto cvars = globalCvarManager.load())
            prefix = cvars->getCvar("brv_owned_replay_prefix").getStringValue();
    } catch (...) {
        prefix = defaultPrefix;
    }
    if (!safePrefix(prefix)) {
        bool say = false;
        {
            std::lock_guard lk(refusedMutex);
            say = std::exchange(refusedPrefix, prefix) != prefix;
        }
        if (say)
            logLine(
                "[BRV] brv_owned_replay_prefix recusado (caminho, '..', unidade ou mais de 32 "
                "bytes): " +
                clippedForLog(prefix) + "; usando replay_VXA_");
        prefix = defaultPrefix;
    }
    return platform::utf8ToWide(prefix);
}

std::string localPlayerName(GameWrapper* gw) {
    if (!gw)
        return {};
    try {
        const auto pri = localPlayer(*gw);
        return pri ? pri->GetPlayerName().ToString() : std::string();
    } catch (...) {
        return {};
    }
}

}  // namespace brevant

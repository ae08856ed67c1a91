#include "core/LocalPlayer.h"

namespace brevant {

std::optional<PlayerReplicationInfoWrapper> localPlayer(GameWrapper& gw) {
    try {
        auto controller = gw.GetPlayerController();
        if (controller.IsNull())
            return std::nullopt;
        auto pri = controller.GetPRI();
        if (pri.IsNull())
            return std::nullopt;
        return pri;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace brevant

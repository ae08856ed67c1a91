#include "plugin/GameThread.h"

#include "plugin/Globals.h"

namespace brevant {

void postToGame(std::function<void(GameWrapper*)> fn) {
    auto gw = globalGameWrapper.load();
    if (!gw)
        return;
    gw->Execute([fn = std::move(fn)](GameWrapper* game) {
        if (!globalGameWrapper.load())
            return;
        fn(game);
    });
}

void showToast(GameWrapper* gw, const std::string& text) {
    if (gw)
        gw->Toast("Brevant", text, "default", 3.5f, 0, 290.0f, 60.0f);
}

}  // namespace brevant

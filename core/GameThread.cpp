#include "core/GameThread.h"

#include "core/Globals.h"
#include "core/Guard.h"

namespace brevant {

void postToGame(std::function<void(GameWrapper*)> fn) {
    auto gw = globalGameWrapper.load();
    if (!gw)
        return;
    gw->Execute([fn = std::move(fn)](GameWrapper* game) {
        runGuarded("posted call", [&] {
            if (globalGameWrapper.load())
                fn(game);
        });
    });
}

void armTimer(GameWrapper& gw, float seconds, const char* where,
              std::function<void(GameWrapper&)> fn) {
    gw.SetTimeout(
        [where, fn = std::move(fn)](GameWrapper* game) {
            runGuarded(where, [&] {
                if (game && globalGameWrapper.load())
                    fn(*game);
            });
        },
        seconds);
}

void showToast(GameWrapper* gw, const std::string& text) {
    if (gw)
        gw->Toast("Brevant", text, "default", 3.5f, 0, 290.0f, 60.0f);
}

}  // namespace brevant

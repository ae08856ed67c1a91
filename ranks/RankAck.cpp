#include "ranks/RankAck.h"

#include "core/GameThread.h"

namespace brevant {

void showRankAck(GameWrapper* gw, const std::string& status, const std::string& note) {
    showToast(gw, status == "ok" ? "Rank verificado e sincronizado."
                                 : "Falha ao verificar rank: " + note);
}

RouteOutcome onRankAck(const json& msg) {
    const std::string status = stringField(msg, "status", "ok");
    const std::string note = stringField(msg, "note", "");
    postToGame([status, note](GameWrapper* gw) { showRankAck(gw, status, note); });
    return handled;
}

}  // namespace brevant

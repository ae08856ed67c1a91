#include "ranks/RankAck.h"

#include "plugin/GameThread.h"

namespace brevant {

void showRankAck(GameWrapper* gw, const std::string& status, const std::string& note) {
    showToast(gw, status == "ok" ? "Rank verificado e sincronizado."
                                 : "Falha ao verificar rank: " + note);
}

}  // namespace brevant

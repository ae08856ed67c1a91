#include "ranks/RankSubmit.h"

#include <atomic>
#include <cmath>

#include "core/GameThread.h"
#include "core/LocalPlayer.h"
#include "core/Log.h"
#include "core/Workers.h"
#include "net/HttpRequests.h"
#include "net/Json.h"
#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace brevant::ranks {
namespace {

struct RankedPlaylist {
    std::int32_t id;
    const char* name;
};
constexpr RankedPlaylist rankedPlaylists[] = {
    {10, "Ranked 1v1"}, {11, "Ranked 2v2"}, {13, "Ranked 3v3"}};

std::atomic<bool> rankSubmitInFlight{false};

// A submission's hold on the in-flight flag. Whoever holds the last reference to it (the
// game-thread step, then the worker) releases the flag when done, whichever way it ends, so
// every submission releases it exactly once.
struct InFlightClaim {
    ~InFlightClaim() { rankSubmitInFlight.exchange(false); }
};

void toast(std::string text) {
    postToGame([text = std::move(text)](GameWrapper* gw) { showToast(gw, text); });
}

// The local player's unique id: the game's own, else the one of the player controller's
// replication info. False when neither gives a text.
bool localIdentity(GameWrapper& gw, UniqueIDWrapper& id) {
    try {
        id = gw.GetUniqueID();
        if (!id.GetIdString().empty())
            return true;
    } catch (...) {
        // The player controller may still know who plays.
    }
    try {
        const auto pri = localPlayer(gw);
        if (!pri)
            return false;
        id = pri->GetUniqueIdWrapper();
        return !id.GetIdString().empty();
    } catch (...) {
        return false;
    }
}

void submitOnGameThread(GameWrapper& gw, const std::shared_ptr<CVarManagerWrapper>& cvars,
                        bool (*isPaired)(), const std::string& id,
                        std::shared_ptr<InFlightClaim> claim) {
    if (!isPaired()) {
        toast("Nao pareado. Use /addpair no Discord.");
        return;
    }
    json ranks = collectRanks(gw);
    if (ranks.empty()) {
        toast("Nao consegui ler seus ranks. Abra o menu Competitivo e tente de novo.");
        return;
    }
    std::string body = dumpJson(json{{"deviceId", id}, {"ranks", std::move(ranks)}});
    logTo(cvars, "[BRV] atualizado...");
    startWorker("brv-rank",
                [body = std::move(body), claim = std::move(claim)](std::stop_token stop) {
                    HttpResult result;
                    const bool sent = postRankSubmit(body, result, stop);
                    toast(replyText(sent, result));
                });
}

}  // namespace

bool submissionInFlight() {
    return rankSubmitInFlight.load();
}

void resetRankState() {
    rankSubmitInFlight.store(false);
}

void submitAsync(const std::string& deviceId, std::shared_ptr<GameWrapper> gw,
                 std::shared_ptr<CVarManagerWrapper> cvars, bool (*isPaired)()) {
    if (rankSubmitInFlight.exchange(true)) {
        if (gw)
            toast("Aguarde o envio anterior terminar.");
        return;
    }
    auto claim = std::make_shared<InFlightClaim>();
    if (!gw)
        return;
    // Should the call never run (the plugin unloads first), dropping it releases the claim.
    postToGame([gw, cvars, isPaired, id = deviceId, claim](GameWrapper*) mutable {
        submitOnGameThread(*gw, cvars, isPaired, id, std::move(claim));
    });
}

json collectRanks(GameWrapper& gw) {
    json ranks = json::array();
    UniqueIDWrapper uid;
    if (!localIdentity(gw, uid))
        return ranks;
    MMRWrapper mmr;
    try {
        mmr = gw.GetMMRWrapper();
    } catch (...) {
        return ranks;
    }
    for (const auto& playlist : rankedPlaylists) {
        try {
            const SkillRank rank = mmr.GetPlayerRank(uid, playlist.id);
            const SkillRating rating = mmr.GetPlayerSkillRating(uid, playlist.id);
            const float value = mmr.CalculateMMR(rating, false);
            ranks.push_back({{"playlistId", playlist.id},
                             {"playlist", playlist.name},
                             {"tier", rank.Tier},
                             {"division", rank.Division},
                             {"mmr", std::round(static_cast<double>(value))}});
        } catch (...) {
        }
    }
    return ranks;
}

std::string replyText(bool sent, const HttpResult& result) {
    if (!sent)
        return "Falha HTTP.";
    if (result.status >= 400)
        return "Erro: " + result.body;
    try {
        const json reply = json::parse(result.body, nullptr, false);
        if (!reply.is_object())
            return "Resposta inesperada do servidor.";
        const bool ok = boolField(reply, "ok", false);
        const std::string note = stringField(reply, "note", "");
        if (ok) {
            if (note == "COOLDOWN")
                return "Cooldown ativo. Tente de novo em " +
                       formatDuration(int64Field(reply, "retryAfterMs", -1)) + ".";
            if (note == "NO_VALID_RANKS")
                return "Sem ranks validos (1v1/2v2/3v3) agora.";
            if (note == "UNCHANGED")
                return "Cargo ja estava correto. Cooldown renovado.";
            return "Rank verificado e sincronizado.";
        }
        const std::string err = stringField(reply, "err", "");
        if (err == "NO_DISCORD_LINKED")
            return "Seu deviceId nao esta pareado ao Discord (/addpair).";
        if (err == "GUILD_NOT_FOUND")
            return "Erro 454. Consulte um Administrador";
        if (err == "ROLE_ID_INVALID")
            return "Erro 455";
        if (err == "CANNOT_MODIFY_ROLES")
            return "Erro 456";
        if (err == "DB_ERROR")
            return "Erro 457";
        return "Falha: " + result.body;
    } catch (...) {
        return "Resposta inesperada do servidor.";
    }
}

std::string formatDuration(std::int64_t ms) {
    auto ceilDiv = [](std::int64_t n, std::int64_t d) { return n / d + (n % d != 0 ? 1 : 0); };
    if (ms < 0)
        return "";
    if (ms < 60'000)
        return std::to_string(ceilDiv(ms, 1000)) + "s";
    if (ms < 3'600'000)
        return std::to_string(ceilDiv(ms, 60'000)) + "m";
    const std::int64_t hours = ceilDiv(ms, 3'600'000);
    if (hours < 48)
        return std::to_string(hours) + "h";
    return std::to_string(ceilDiv(ms, 86'400'000)) + "d";
}

}  // namespace brevant::ranks

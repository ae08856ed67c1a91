#include "plugin/ConsoleSetup.h"

#include <string>
#include <vector>

#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Log.h"
#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "pairing/PairingState.h"
#include "plugin/Status.h"
#include "ranks/RankSubmit.h"
#include "replays/ReplayUpload.h"

namespace brevant {
namespace {

struct CvarSpec {
    const char* name;
    const char* defaultValue;
    const char* description;
};

// Registration order matters to the host's listing; texts are Windows-1252.
constexpr CvarSpec earlyCvars[] = {
    {"scrim_region", "SAM", "Regiao da private"},
    {"scrim_maxplayers", "8", "Max players"},
    {"brv_playlist", "13", "Playlist ID para imprimir rank"},
    {"brv_watch_replays", "1", "Monitora a pasta Demos e faz upload ao detectar replay novo"},
    {"brv_replay_dir", "", "Caminho opcional da pasta Demos (vazio = auto-detect)"},
    {"brv_debug_replay", "0", "Logs extras de replay"},
    {"brv_owned_replay_prefix", "replay_VXA_", "Prefixo para replays de partidas criadas pelo bot"},
    {"brv_upload_replays", "1",
     "Envia automaticamente o replay mais recente ao detectar novo arquivo"},
    {"brv_upload_only_vxa", "1",
     "Se 1, faz upload autom\xE1tico somente de replays com o prefixo (ex.: replay_VXA_)"},
};

void registerCvar(CVarManagerWrapper& cvars, const std::string& name, const std::string& value,
                  const std::string& description) {
    cvars.registerCvar(name, value, description, true, false, 0, false, 0, true);
}

}  // namespace

void registerEarlyCvars(CVarManagerWrapper& cvars) {
    for (const auto& c : earlyCvars)
        registerCvar(cvars, c.name, c.defaultValue, c.description);
}

void registerDeviceIdCvar(CVarManagerWrapper& cvars, const std::string& id) {
    registerCvar(cvars, "brv_deviceid", id, "Seu deviceId persistente");
    runGuarded("onLoad brv_deviceid", [&] {
        CVarWrapper shown = cvars.getCvar("brv_deviceid");
        if (shown.IsNull())
            return;
        const std::string saved = shown.getStringValue();
        if (saved == id)
            return;
        shown.setValue(id);
        logLine("[BRV] brv_deviceid salvo ('" + escapedForLog(saved) +
                "') nao e o deviceId em uso; agora mostra '" + id + "'");
    });
}

void registerMenuBindCvar(CVarManagerWrapper& cvars) {
    registerCvar(cvars, "brv_menu_bind", "F4", "Tecla para abrir o menu Brevant");
}

void registerUploadCommand(CVarManagerWrapper& cvars) {
    cvars.registerNotifier(
        "brv_upload_last_replay",
        [](std::vector<std::string>) {
            runGuarded("brv_upload_last_replay", replays::uploadLastReplayNow);
        },
        "Forca o upload do replay mais recente agora", 0);
}

void registerUiAndRankCommands(CVarManagerWrapper& cvars) {
    cvars.registerNotifier(
        "brevant_ui",
        [](std::vector<std::string>) {
            runGuarded("brevant_ui", [] {
                if (auto cv = globalCvarManager.load())
                    cv->executeCommand("togglemenu Brevant", true);
            });
        },
        "Abre a UI do Brevant", 0);
    cvars.registerNotifier(
        "brv_rank",
        [](std::vector<std::string>) {
            runGuarded("brv_rank", [] {
                ranks::submitAsync(deviceId, globalGameWrapper.load(), globalCvarManager.load(),
                                   &isPaired);
            });
        },
        "Envia rank_check para o bot", 0);
}

void registerOutboxCommands(CVarManagerWrapper& cvars) {
    cvars.registerNotifier(
        "brv_outbox",
        [](std::vector<std::string>) {
            runGuarded("brv_outbox", [] {
                if (!outbox::loaded()) {
                    logLine("[BRV] Outbox: lendo os registros; tente de novo em instantes");
                    return;
                }
                const auto items = outbox::pending();
                logLine("[BRV] Outbox: " + std::to_string(items.size()) + " pendente(s)");
                for (const auto& item : items)
                    logLine("[BRV] Outbox: " + item.kind + " " + item.name + " tentativas=" +
                            std::to_string(item.attempts) + " proxima=" + item.nextTry);
            });
        },
        "Lista resultados e replays que ainda nao chegaram ao backend", 0);
    cvars.registerNotifier(
        "brv_outbox_retry",
        [](std::vector<std::string>) {
            runGuarded("brv_outbox_retry", [] {
                outbox::retryNow();
                logLine("[BRV] Outbox: tentando agora");
            });
        },
        "Tenta entregar agora o que esta pendente", 0);
}

void registerSessionCvarAndCommands(CVarManagerWrapper& cvars) {
    registerCvar(cvars, "brv_ws_reconnect", "0",
                 "Se 1, reabre sozinho a conexao com o backend quando ela cai");
    cvars.registerNotifier(
        "brv_ws_connect",
        [](std::vector<std::string>) {
            runGuarded("brv_ws_connect", [] {
                logLine(connectNow() ? "[BRV] WS: reconectando..."
                                     : "[BRV] WS: ja conectado (ou conectando)");
            });
        },
        "Reabre a conexao com o backend agora", 0);
    cvars.registerNotifier(
        "brv_status",
        [](std::vector<std::string>) {
            runGuarded("brv_status", [] {
                for (const auto& line : statusLines(statusNow()))
                    logLine(line);
            });
        },
        "Mostra a conexao, a serie, os ultimos envios e o que esta pendente", 0);
}

void applyMenuBind(CVarManagerWrapper& cvars) {
    const std::string key = cvars.getCvar("brv_menu_bind").getStringValue();
    if (key.empty())
        return;
    cvars.executeCommand("bind " + key + " \"togglemenu Brevant\"", true);
    logLine("[BRV] Bind aplicado: " + key + " -> togglemenu Brevant");
}

}  // namespace brevant

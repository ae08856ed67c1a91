#include "ui/SettingsBody.h"

#include <imgui.h>

#include <string>

#include "core/Globals.h"
#include "core/Log.h"
#include "pairing/PairingCheck.h"
#include "pairing/PairingState.h"
#include "ranks/RankSubmit.h"
#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace brevant {
namespace {

const ImVec4 identifierColour(0.8f, 0.9f, 1.0f, 1.0f);
const ImVec4 warningColour(0.95f, 0.65f, 0.2f, 1.0f);
const ImVec4 pairedColour(0.2f, 0.85f, 0.3f, 1.0f);
const ImVec4 unpairedColour(0.95f, 0.25f, 0.25f, 1.0f);

// The identifier the player sees and copies: brv_deviceid when the player set it, else ours.
std::string displayedIdentifier() {
    std::string shown = deviceId;
    if (const auto cvars = globalCvarManager.load()) {
        try {
            CVarWrapper cvar = cvars->getCvar("brv_deviceid");
            if (!cvar.IsNull()) {
                std::string value = cvar.getStringValue();
                if (!value.empty())
                    shown = std::move(value);
            }
        } catch (...) {
            // Unreadable: our own identifier stays.
        }
    }
    return shown;
}

void copyPairingCommand(const std::string& identifier) {
    const std::string command = "/addpair deviceid:" + identifier;
    ImGui::SetClipboardText(command.c_str());
    const auto cvars = globalCvarManager.load();
    if (!cvars)
        return;
    logTo(cvars, "[BRV] Copiado: " + command);
    if (const auto gw = globalGameWrapper.load())
        gw->Execute([command](GameWrapper* game) {
            if (game)
                game->Toast("Brevant", "Cole no Discord: " + command, "default", 3.5f, 0, 290, 60);
        });
}

void pairingStatusLine() {
    if (!pairStatusKnown.load())
        ImGui::TextDisabled("(Status desconhecido)");
    else if (paired.load())
        ImGui::TextColored(pairedColour, "(Pareado)");
    else
        ImGui::TextColored(unpairedColour, "(Nao pareado)");
}

}  // namespace

void renderCommonUi() {
    const std::string identifier = displayedIdentifier();

    ImGui::Text("Seu deviceId:");
    ImGui::SameLine();
    ImGui::TextColored(identifierColour, "%s", identifier.c_str());

    if (!paired.load()) {
        ImGui::Spacing();
        ImGui::TextColored(warningColour,
                           "Modo seguro: nao pareado. O plugin NAO controla privadas nem rotacao.");
    }
    ImGui::Spacing();

    if (ImGui::Button("Copiar /addpair"))
        copyPairingCommand(identifier);
    ImGui::SameLine();
    if (ImGui::Button("Checar status"))
        checkPairStatusAsync(identifier);
    ImGui::SameLine();
    if (ImGui::Button("Verificar Rank"))
        ranks::submitAsync(deviceId, globalGameWrapper.load(), globalCvarManager.load(), &isPaired);

    pairingStatusLine();
    ImGui::Separator();
    ImGui::TextWrapped("Como usar:");
    ImGui::BulletText("Cole /addpair no Discord e cheque o status.");
    ImGui::BulletText("Use os comandos de criar private conforme instrucoes do bot.");
}

}  // namespace brevant

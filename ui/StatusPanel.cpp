#include "ui/StatusPanel.h"

#include <imgui.h>

namespace brevant {
namespace {

// Colours of their own: the pairing status and the safe-mode warning above keep theirs.
const ImVec4 goodColour(0.3f, 0.75f, 0.7f, 1.0f);
const ImVec4 badColour(0.85f, 0.45f, 0.45f, 1.0f);
const ImVec4 pendingColour(0.9f, 0.85f, 0.35f, 1.0f);

}  // namespace

StatusActions renderStatusPanel(const StatusView& view) {
    StatusActions actions;
    ImGui::Separator();
    const ImVec4& tone = view.tone == StatusView::Tone::Good  ? goodColour
                         : view.tone == StatusView::Tone::Bad ? badColour
                                                              : pendingColour;
    ImGui::TextColored(tone, "%s", view.connection.c_str());
    ImGui::TextUnformatted(view.series.c_str());
    ImGui::TextUnformatted(view.lastResult.c_str());
    ImGui::TextUnformatted(view.lastReplay.c_str());
    if (!view.outbox.empty())
        ImGui::TextUnformatted(view.outbox.c_str());
    bool reconnect = view.reconnect;
    if (ImGui::Checkbox("Reconectar sozinho", &reconnect)) {
        actions.reconnectChanged = true;
        actions.reconnect = reconnect;
    }
    ImGui::SameLine();
    actions.reconnectNow = ImGui::Button("Reconectar");
    return actions;
}

}  // namespace brevant

#include "tests/support/ImGuiFrames.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cfloat>

namespace testing_support {

bool DrawnFrame::has(const ImVec4& colour) const {
    const ImU32 packed = ImGui::ColorConvertFloat4ToU32(colour);
    return std::any_of(vertices.begin(), vertices.end(),
                       [&](const ImDrawVert& v) { return v.col == packed; });
}

std::vector<DrawnRect> DrawnFrame::rects(const ImVec4& colour) const {
    const ImU32 packed = ImGui::ColorConvertFloat4ToU32(colour);
    std::vector<DrawnRect> out;
    for (std::size_t i = 0; i + 4 <= vertices.size();) {
        if (!std::all_of(vertices.begin() + i, vertices.begin() + i + 4,
                         [&](const ImDrawVert& v) { return v.col == packed; })) {
            ++i;
            continue;
        }
        DrawnRect r{{FLT_MAX, FLT_MAX}, {-FLT_MAX, -FLT_MAX}};
        for (std::size_t k = i; k < i + 4; ++k) {
            r.min = ImMin(r.min, vertices[k].pos);
            r.max = ImMax(r.max, vertices[k].pos);
        }
        out.push_back(r);
        i += 4;
    }
    return out;
}

DrawnRect DrawnFrame::extent(const ImVec4& colour) const {
    const ImU32 packed = ImGui::ColorConvertFloat4ToU32(colour);
    DrawnRect r{{FLT_MAX, FLT_MAX}, {-FLT_MAX, -FLT_MAX}};
    for (const ImDrawVert& v : vertices)
        if (v.col == packed) {
            r.min = ImMin(r.min, v.pos);
            r.max = ImMax(r.max, v.pos);
        }
    return r;
}

ImGuiFrames::ImGuiFrames(ImGuiContext* context) : context_(context) {}

ImVec4 ImGuiFrames::style(ImGuiCol colour) const {
    ImGui::SetCurrentContext(context_);
    return ImGui::GetStyle().Colors[colour];
}

DrawnFrame ImGuiFrames::draw(const std::function<void()>& body) {
    ImGui::SetCurrentContext(context_);
    ImGuiIO& io = ImGui::GetIO();
    io.DeltaTime = 1.0f / 60.0f;
    ImGui::NewFrame();
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(1000, 400));
    ImGui::Begin("frames", nullptr, ImGuiWindowFlags_NoDecoration);
    ImGui::LogToBuffer();
    body();
    DrawnFrame frame;
    frame.text = GImGui->LogBuffer.c_str();
    // ImGui ends its logged lines with CR LF on Windows; the tests read lines ended by LF.
    std::erase(frame.text, '\r');
    ImGui::LogFinish();
    ImGui::End();
    ImGui::Render();
    const ImDrawData* data = ImGui::GetDrawData();
    for (int l = 0; l < data->CmdListsCount; ++l) {
        const auto& vb = data->CmdLists[l]->VtxBuffer;
        frame.vertices.insert(frame.vertices.end(), vb.begin(), vb.end());
    }
    return frame;
}

void ImGuiFrames::click(const ImVec2& at, const std::function<void()>& body) {
    ImGui::SetCurrentContext(context_);
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = at;
    draw(body);  // hovered first, as a player's mouse comes before the press
    io.MouseDown[0] = true;
    draw(body);
    io.MouseDown[0] = false;
    draw(body);
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
}

}  // namespace testing_support

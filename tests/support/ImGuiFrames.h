#pragma once
// Frames of a headless Dear ImGui context, drawn one at a time by a test: what a body drew (its
// text as ImGui logs it, its vertices with their colours) and mouse input fed at the places
// ImGui drew, so a test presses a button the way a player does.
#include <imgui.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct DrawnRect {
    ImVec2 min;
    ImVec2 max;
    ImVec2 centre() const { return {(min.x + max.x) / 2, (min.y + max.y) / 2}; }
};

struct DrawnFrame {
    std::string text;  // ImGui's log of the frame: one line per row, buttons as [label]
    std::vector<ImDrawVert> vertices;

    // Whether anything was drawn in that colour (as ImGui packs it).
    bool has(const ImVec4& colour) const;
    // The rectangles filled with that colour, in drawing order (each one four vertices).
    std::vector<DrawnRect> rects(const ImVec4& colour) const;
    // The smallest box around everything drawn in that colour.
    DrawnRect extent(const ImVec4& colour) const;
};

class ImGuiFrames {
public:
    // Draws into the given context (the host's), which must have its fonts built.
    explicit ImGuiFrames(ImGuiContext* context);

    // One frame with the body inside a plain window at the top left corner.
    DrawnFrame draw(const std::function<void()>& body);
    // Presses and releases the left button at that point, over two frames of the body.
    void click(const ImVec2& at, const std::function<void()>& body);

    // The colour ImGui packs for a style colour of the context.
    ImVec4 style(ImGuiCol colour) const;

private:
    ImGuiContext* context_;
};

}  // namespace testing_support

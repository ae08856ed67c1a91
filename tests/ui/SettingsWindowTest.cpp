// The settings tab and the plugin window, drawn frame by frame on the host's headless ImGui
// context, with the plugin loaded in the stand-in host.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/Globals.h"
#include "net/BackendEndpoint.h"
#include "net/Dispatcher.h"
#include "pairing/PairingState.h"
#include "plugin/MessageRoutes.h"
#include "sdk/CVarManagerWrapper.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ImGuiFrames.h"
#include "tests/support/TestHost.h"
#include "tests/support/WsTestServer.h"

namespace {

using testing_support::DrawnFrame;
using testing_support::HttpCannedResponse;

const ImVec4 warning(0.95f, 0.65f, 0.2f, 1.0f);
const ImVec4 green(0.2f, 0.85f, 0.3f, 1.0f);
const ImVec4 red(0.95f, 0.25f, 0.25f, 1.0f);
const char* const warningText =
    "Modo seguro: nao pareado. O plugin NAO controla privadas nem rotacao.";

class SettingsWindow : public ::testing::Test {
protected:
    void SetUp() override {
        brevant::setBackendEndpointForTests(
            {L"127.0.0.1", 1, server.port(), server.port(), server.port()});
        server.route("/pair-status", HttpCannedResponse::make(500, "{}"));  // status unknown
        host.load();
        host.settle();
        static_cast<brevant::SettingsWindowBase&>(host.plugin())
            .SetImGuiContext(host.rt().imguiContext());
    }
    DrawnFrame frame() {
        return frames.draw([this] { host.plugin().RenderSettings(); });
    }
    void press(int button) {
        const auto buttons = frame().rects(frames.style(ImGuiCol_Button));
        ASSERT_EQ(buttons.size(), 4u);  // the body's three, and the panel's Reconectar
        frames.click(buttons[static_cast<std::size_t>(button)].centre(),
                     [this] { host.plugin().RenderSettings(); });
    }
    void dispatch(const std::string& text) {
        brevant::dispatchMessage(text, brevant::messageRoutes());
    }

    testing_support::HttpTestServer server;
    testing_support::TestHost host;
    testing_support::ImGuiFrames frames{reinterpret_cast<ImGuiContext*>(host.rt().imguiContext())};
};

TEST_F(SettingsWindow, WarningAndStatusLineFollowThePairing) {
    DrawnFrame f = frame();
    EXPECT_NE(f.text.find("Seu deviceId: " + brevant::deviceId), std::string::npos) << f.text;
    EXPECT_NE(f.text.find(warningText), std::string::npos);
    EXPECT_TRUE(f.has(warning));
    EXPECT_NE(f.text.find("(Status desconhecido)"), std::string::npos);
    EXPECT_TRUE(f.has(frames.style(ImGuiCol_TextDisabled)));
    EXPECT_NE(f.text.find("Como usar:"), std::string::npos);

    // The three buttons share a line; the status line is on its own line below them.
    const auto buttons = f.rects(frames.style(ImGuiCol_Button));
    ASSERT_EQ(buttons.size(), 4u);  // and the status panel's, below
    EXPECT_EQ(buttons[0].min.y, buttons[1].min.y);
    EXPECT_EQ(buttons[1].min.y, buttons[2].min.y);
    EXPECT_LT(buttons[0].max.x, buttons[1].min.x);
    EXPECT_GE(f.extent(frames.style(ImGuiCol_TextDisabled)).min.y, buttons[0].max.y);
    EXPECT_NE(f.text.find("[ Copiar /addpair ] [ Checar status ] [ Verificar Rank ]\n"),
              std::string::npos)
        << f.text;

    dispatch(R"({"t":"paired_ok"})");
    f = frame();
    EXPECT_EQ(f.text.find(warningText), std::string::npos);
    EXPECT_FALSE(f.has(warning));
    EXPECT_NE(f.text.find("(Pareado)"), std::string::npos);
    EXPECT_TRUE(f.has(green));

    dispatch(R"({"t":"pair_required"})");
    f = frame();
    EXPECT_NE(f.text.find("(Nao pareado)"), std::string::npos);
    EXPECT_TRUE(f.has(red));
    EXPECT_TRUE(f.has(warning));
}

TEST_F(SettingsWindow, PlayerSetIdentifierIsShownCopiedAndChecked) {
    host.rt().executeCommand("brv_deviceid player-id");
    const std::string command = "/addpair deviceid:player-id";
    EXPECT_NE(frame().text.find("Seu deviceId: player-id"), std::string::npos);

    press(0);  // Copiar /addpair
    EXPECT_STREQ(ImGui::GetClipboardText(), command.c_str());
    EXPECT_TRUE(host.hasLog("[BRV] Copiado: " + command));
    host.advance(0.1);
    const auto toasts = host.rt().toasts();
    ASSERT_FALSE(toasts.empty());
    EXPECT_EQ(toasts.back().title, "Brevant");
    EXPECT_EQ(toasts.back().text, "Cole no Discord: " + command);
    EXPECT_EQ(toasts.back().texture, "default");
    EXPECT_FLOAT_EQ(toasts.back().seconds, 3.5f);
    EXPECT_EQ(toasts.back().width, 290);
    EXPECT_EQ(toasts.back().height, 60);

    server.route("/pair-status", HttpCannedResponse::make(200, R"({"registered":true})"));
    press(1);  // Checar status
    host.settle();
    EXPECT_EQ(server.requests().back().target, "/pair-status?deviceId=player-id");
    EXPECT_TRUE(brevant::paired.load());
    // The identifier the plugin keeps in its file is untouched by the player's variable.
    EXPECT_NE(brevant::deviceId, "player-id");

    // Verificar Rank submits as brv_rank does: the plugin's own identifier, then the answer.
    server.route("/rank-submit", HttpCannedResponse::make(200, R"({"ok":true})"));
    press(2);
    host.advance(0.1);  // the ranks are read on the game thread
    host.settle();
    EXPECT_EQ(server.requests().back().target, "/rank-submit");
    EXPECT_NE(server.requests().back().body.find(brevant::deviceId), std::string::npos);
    EXPECT_EQ(host.toastTexts().back(), "Rank verificado e sincronizado.");

    // Without a console manager the clipboard is all a press does.
    const auto logs = host.logs().size();
    const auto toastCount = host.rt().toasts().size();
    brevant::globalCvarManager.store(nullptr);
    ImGui::SetClipboardText("");
    press(0);
    host.advance(0.1);
    EXPECT_STREQ(ImGui::GetClipboardText(), ("/addpair deviceid:" + brevant::deviceId).c_str());
    EXPECT_EQ(host.logs().size(), logs);
    EXPECT_EQ(host.rt().toasts().size(), toastCount);
}

TEST_F(SettingsWindow, HostShowsTheWindowAndTheTabWithItsContext) {
    const ImU32 packedWarning = ImGui::ColorConvertFloat4ToU32(warning);
    auto drawsWarning = [&] {
        const ImDrawData* data = host.rt().drawFrame();
        for (int l = 0; l < data->CmdListsCount; ++l)
            for (const ImDrawVert& v : data->CmdLists[l]->VtxBuffer)
                if (v.col == packedWarning)
                    return true;
        return false;
    };
    EXPECT_FALSE(drawsWarning());
    host.rt().executeCommand("togglemenu Brevant");
    EXPECT_TRUE(host.plugin().isWindowOpen());
    EXPECT_TRUE(drawsWarning());
    host.rt().executeCommand("togglemenu Brevant");
    EXPECT_FALSE(drawsWarning());
    host.rt().executeCommand("togglemenu settings");
    drawsWarning();  // a tab bar chooses its tab in its first frame and shows it from the next
    EXPECT_TRUE(drawsWarning());
}

// The body reads only atomics and values fixed at load, and acts only by posting or starting
// workers, so a host that draws on a thread of its own is served as well.
TEST_F(SettingsWindow, FramesDrawnOnAnotherThreadWhileMessagesArrive) {
    std::atomic<bool> drawing{true};
    std::mutex shownMutex;
    std::string shown;  // the last frame's text
    std::thread painter([&] {
        while (drawing.load()) {
            const std::string text = frame().text;
            std::lock_guard lk(shownMutex);
            shown = text;
        }
    });
    auto drawnWith = [&](const std::string& line) {
        return host.pumpUntil([&] {
            std::lock_guard lk(shownMutex);
            return shown.find(line) != std::string::npos;
        });
    };
    for (int i = 0; i < 200; ++i)
        dispatch(i % 2 == 0 ? R"({"t":"paired_ok"})" : R"({"t":"pair_required"})");
    EXPECT_TRUE(drawnWith("(Nao pareado)"));  // the last message

    // The session's states change on its own threads while the panel is drawn.
    testing_support::WsTestServer ws;
    brevant::setBackendEndpointForTests({L"127.0.0.1", ws.port(), 1, 1, 1});
    EXPECT_TRUE(drawnWith("Conexao: ainda nao aberta"));
    host.advance(0.3);  // the session opens
    EXPECT_TRUE(drawnWith("Conexao: conectado ha "));
    ws.sendClose(1008, "replaced");
    EXPECT_TRUE(drawnWith("(codigo 1008: replaced); outra conexao"));
    drawing = false;
    painter.join();
}

}  // namespace

// Start-up and shut-down of the plugin in the stand-in host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "pairing/PairingState.h"
#include "rotation/HostingState.h"
#include "sdk/CVarManagerWrapper.h"
#include "tests/support/TestHost.h"

namespace {

using Kind = sdk::HostRuntime::ConsoleEvent::Kind;
using testing_support::TestHost;

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void saveSetting(const std::filesystem::path& data, const std::string& line) {
    std::filesystem::create_directories(data / "cfg");
    std::ofstream(data / "cfg" / "config.cfg", std::ios::app) << line << "\n";
}

// The console's record of start-up.
std::vector<std::string> startupRecord(TestHost& host) {
    std::vector<std::string> out;
    for (auto& e : host.rt().consoleEvents()) {
        const char* tag = e.kind == Kind::Log        ? "log "
                          : e.kind == Kind::Command  ? "cmd "
                          : e.kind == Kind::Cvar     ? "cvar "
                          : e.kind == Kind::Notifier ? "notifier "
                                                     : "hook ";
        out.push_back(tag + e.text);
    }
    return out;
}

TEST(Lifecycle, OnLoadRegistersAndRunsEverythingInOrder) {
    // A replay folder of its own, so that the record does not depend on this machine's home.
    testing_support::TempDir dir;
    saveSetting(dir.path(), "brv_replay_dir \"/replays\"");
    TestHost host(dir.path());
    host.load();
    const std::vector<std::string> expected = {
        "cmd listchatcommands",
        "cmd ranked_autosavereplay_all 1",
        "cvar scrim_region",
        "cvar scrim_maxplayers",
        "cvar brv_playlist",
        "cvar brv_watch_replays",
        "cvar brv_replay_dir",
        "cvar brv_debug_replay",
        "cvar brv_owned_replay_prefix",
        "cvar brv_upload_replays",
        "cvar brv_upload_only_vxa",
        "notifier brv_upload_last_replay",
        "cvar brv_deviceid",
        "notifier brevant_ui",
        "notifier brv_rank",
        "log [BRV] Replays dir: /replays",
        "log [BRV] Watcher de replays ON em: /replays",
        "hook Function TAGame.GameEvent_Soccar_TA.EventMatchEnded",
        "hook Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted",
        "hook Function TAGame.GameEvent_Soccar_TA.StartRound",
        "hook Function TAGame.GameEvent_Soccar_TA.Active.StartRound",
        "log [BRV] Loaded. UI: F2 > Plugins > Brevant ou 'brevant_ui'.",
        "cvar brv_menu_bind",
        "cmd bind F4 \"togglemenu Brevant\"",
        "log [BRV] Bind aplicado: F4 -> togglemenu Brevant",
        "cvar brv_ws_reconnect",
        "notifier brv_ws_connect",
        "notifier brv_status",
        "notifier brv_outbox",
        "notifier brv_outbox_retry",
    };
    EXPECT_EQ(startupRecord(host), expected);
    EXPECT_EQ(host.rt().binds().at("F4"), "togglemenu Brevant");
}

TEST(Lifecycle, ConsoleVariablesHaveTheirDefaultsAndDescriptions) {
    // A rotation file that fails to load stops nothing that follows it.
    testing_support::TempDir dir;
    std::filesystem::create_directories(dir.path() / "plugins");
    std::ofstream(dir.path() / "plugins" / "brevant.rotate.json") << R"({"server":7})";
    TestHost host(dir.path());
    host.load();
    struct Expected {
        const char* name;
        const char* value;
        const char* description;
    };
    const Expected table[] = {
        {"scrim_region", "SAM", "Regiao da private"},
        {"scrim_maxplayers", "8", "Max players"},
        {"brv_playlist", "13", "Playlist ID para imprimir rank"},
        {"brv_watch_replays", "1", "Monitora a pasta Demos e faz upload ao detectar replay novo"},
        {"brv_replay_dir", "", "Caminho opcional da pasta Demos (vazio = auto-detect)"},
        {"brv_debug_replay", "0", "Logs extras de replay"},
        {"brv_owned_replay_prefix", "replay_VXA_",
         "Prefixo para replays de partidas criadas pelo bot"},
        {"brv_upload_replays", "1",
         "Envia automaticamente o replay mais recente ao detectar novo arquivo"},
        {"brv_upload_only_vxa", "1",
         "Se 1, faz upload autom\xE1tico somente de replays com o prefixo (ex.: replay_VXA_)"},
        {"brv_menu_bind", "F4", "Tecla para abrir o menu Brevant"},
    };
    auto cvars = host.plugin().cvarManager;
    for (const auto& e : table) {
        auto cv = cvars->getCvar(e.name);
        ASSERT_FALSE(cv.IsNull()) << e.name;
        EXPECT_EQ(cv.getStringValue(), e.value) << e.name;
        EXPECT_EQ(cv.getDescription(), e.description) << e.name;
    }
    // brv_deviceid defaults to the identifier stored in the data folder.
    const std::string stored = readFile(host.dataFolder() / "Brevant" / "device_id.txt");
    EXPECT_EQ(stored.size(), 36u);
    EXPECT_EQ(brevant::deviceId, stored);
    EXPECT_EQ(cvars->getCvar("brv_deviceid").getStringValue(), stored);
    EXPECT_EQ(cvars->getCvar("brv_deviceid").getDescription(), "Seu deviceId persistente");
}

TEST(Lifecycle, EmptyMenuBindBindsNothing) {
    testing_support::TempDir dir;
    saveSetting(dir.path(), "brv_menu_bind \"\"");
    TestHost host(dir.path());
    host.load();
    EXPECT_TRUE(host.rt().binds().empty());
    for (auto& line : host.logs())
        EXPECT_EQ(line.find("Bind aplicado"), std::string::npos);
    for (auto& cmd : host.rt().executedCommands())
        EXPECT_NE(cmd.rfind("bind ", 0), 0u) << cmd;
}

TEST(Lifecycle, ChangedMenuBindTakesEffectAtTheNextLoad) {
    testing_support::TempDir dir;
    {
        TestHost host(dir.path());
        host.load();
        host.rt().executeCommand("brv_menu_bind F6");
        EXPECT_EQ(host.rt().binds().count("F6"), 0u);
        host.unload();
        ASSERT_TRUE(host.rt().saveConfig());
    }
    TestHost host(dir.path());
    host.load();
    EXPECT_EQ(host.rt().binds().at("F6"), "togglemenu Brevant");
    EXPECT_TRUE(host.hasLog("[BRV] Bind aplicado: F6 -> togglemenu Brevant"));
}

TEST(Lifecycle, WatcherIsOffWhenSwitchedOffOrWithoutAReplayFolder) {
    testing_support::TempDir dir;
    saveSetting(dir.path(), "brv_watch_replays \"0\"");
    {
        TestHost host(dir.path());
        host.load();
        EXPECT_EQ(host.countLog("[BRV] Watcher de replays desativado."), 1);
    }
#ifndef _WIN32
    // Switched on, but no Documents folder can be found: the folder resolves to nothing. (The
    // shell always knows a Documents folder on Windows: there it cannot be taken away.)
    saveSetting(dir.path(), "brv_watch_replays \"1\"");
    for (const char* name : {"XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME", "HOME", "USERPROFILE"})
        ::unsetenv(name);
    TestHost host(dir.path());
    host.load();
    EXPECT_TRUE(host.hasLog("[BRV] Replays dir: "));
    EXPECT_EQ(host.countLog("[BRV] Watcher de replays desativado."), 1);
#endif
}

TEST(Lifecycle, ConfiguredReplayFolderIsUsedAsGiven) {
    testing_support::TempDir dir;
    saveSetting(dir.path(), "brv_replay_dir \"/games/Demos \xC3\xA1\"");
    TestHost host(dir.path());
    host.load();
    EXPECT_TRUE(host.hasLog("[BRV] Replays dir: /games/Demos \xC3\xA1"));
    EXPECT_FALSE(host.hasLog("[BRV] Watcher de replays desativado."));
}

TEST(Lifecycle, UiCommandAndKeyToggleTheWindow) {
    TestHost host;
    host.load();
    EXPECT_FALSE(host.plugin().isWindowOpen());
    host.rt().executeCommand("brevant_ui");
    EXPECT_TRUE(host.plugin().isWindowOpen());
    EXPECT_TRUE(host.rt().isWindowOpen("Brevant"));
    host.rt().executeCommand("press F4");
    EXPECT_FALSE(host.plugin().isWindowOpen());
    EXPECT_EQ(host.plugin().GetMenuTitle(), "Brevant");
    EXPECT_EQ(host.plugin().GetPluginName(), "Brevant");
}

TEST(Lifecycle, UnloadEmptiesTheGameHandleAndKeepsTheConsole) {
    TestHost host;
    host.load();
    EXPECT_NE(brevant::globalGameWrapper.load(), nullptr);
    host.unload();
    EXPECT_EQ(brevant::globalGameWrapper.load(), nullptr);
    ASSERT_NE(brevant::globalCvarManager.load(), nullptr);
    // Hooks stay with the host after unload; without the game handle they do nothing.
    host.rt().fireEvent("Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted");
    host.rt().fireEvent("Function TAGame.GameEvent_Soccar_TA.StartRound");
    host.advance(10);
    EXPECT_EQ(host.rt().pendingTimers(), 0u);
}

TEST(Lifecycle, ALoadStartsFromTheInitialStateWhateverTheLastOneLeft) {
    TestHost host;
    host.load();
    // What a module kept in memory would carry into its next load.
    brevant::paired = true;
    brevant::pairStatusKnown = true;
    brevant::beginHostingSeries();
    brevant::noteReplayComing(true, "Sala");
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Sala";
        brevant::rotationState.rotation = {"cs_p"};
        brevant::rotationState.region = 2;
        brevant::rotationState.rev = 7;
    }
    host.unload();
    // What the unload saved would come back from the file; without it, the initial state.
    std::filesystem::remove(host.dataFolder() / "plugins" / "brevant.rotate.json");
    host.load();
    EXPECT_FALSE(brevant::paired.load());
    EXPECT_FALSE(brevant::pairStatusKnown.load());
    EXPECT_FALSE(brevant::lobbyOwned.load());
    EXPECT_FALSE(brevant::nextReplayOwned());
    EXPECT_EQ(brevant::serverNameNow(), "");
    std::lock_guard lk(brevant::hostingMutex);
    EXPECT_TRUE(brevant::rotationState.rotation.empty());
    EXPECT_EQ(brevant::rotationState.region, 9);
    EXPECT_EQ(brevant::rotationState.rev.load(), 1u);
    EXPECT_EQ(brevant::rotationState.settings.MaxPlayerCount, 8);
}

TEST(Lifecycle, DataFolderWithNonAsciiName) {
    testing_support::TempDir dir;
    const auto data = dir.path() / "Usu\xC3\xA1rio \xE6\xB8\xB8";
    std::filesystem::create_directories(data);
    TestHost host(data);
    host.load();
    const std::string stored = readFile(data / "Brevant" / "device_id.txt");
    EXPECT_EQ(stored.size(), 36u);
    EXPECT_EQ(brevant::deviceId, stored);
}

}  // namespace

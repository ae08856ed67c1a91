// Choosing and reading replays in a real temporary folder, and where the folders are.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/KnownFolders.h"
#include "platform/Text.h"
#include "replays/ReplayFiles.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayNames.h"
#include "tests/support/CoreHost.h"
#include "tests/support/TempDir.h"

namespace {
namespace fs = std::filesystem;
using brevant::fileNameOf;
using brevant::findLatestReplay;
using brevant::newestReplayIn;

class ReplayFiles : public ::testing::Test {
protected:
    // A file of `bytes` bytes written `minutesAgo` minutes ago.
    std::wstring write(const std::string& name, double minutesAgo, std::size_t bytes = 4) {
        const fs::path path = dir.path() / name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'r');
        fs::last_write_time(path,
                            fs::file_time_type::clock::now() -
                                std::chrono::duration_cast<fs::file_time_type::duration>(
                                    std::chrono::duration<double, std::ratio<60>>(minutesAgo)));
        return platform::pathToWide(path);
    }
    std::wstring folder() const { return platform::pathToWide(dir.path()); }

    testing_support::TempDir dir{"brevant-replays"};
};

TEST(ReplayExtension, FollowsTheLastComponentsRules) {
    const struct {
        const wchar_t* path;
        bool replay;
    } cases[] = {
        {L"C:\\Demos\\a.replay", true},
        {L"/x/a.b.replay", true},
        {L"a.replay:Zone.Identifier", true},
        {L"a.REPLAY", false},
        {L".replay", false},
        {L"..", false},
        {L"a.replay.bak", false},
        {L"dir.replay/a", false},
        {L"a.replay:x.txt", true},
        {L"a.replays", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(brevant::hasReplayExtension(c.path), c.replay) << platform::wideToUtf8(c.path);
}

TEST_F(ReplayFiles, UploadChoiceKeepsAgePrefixCaseAndFirstOfATie) {
    write("replay_VXA_old.replay", 11);  // newest of all, but too old
    const auto nine = write("replay_VXA_2024.replay", 9);
    write("Replay_VXA_2025.replay", 1);  // capital R: not the prefix
    write("replay_VXA_x.txt", 0);
    EXPECT_EQ(findLatestReplay(folder(), 10, L"replay_VXA_"), nine);
    EXPECT_EQ(fileNameOf(findLatestReplay(folder(), 10, L"")), L"Replay_VXA_2025.replay");
    EXPECT_EQ(fileNameOf(findLatestReplay(folder(), 10, std::nullopt)), L"Replay_VXA_2025.replay");
    EXPECT_EQ(findLatestReplay(folder(), 10, L"replay_VXA_2024.replay_longer"), L"");
    EXPECT_EQ(findLatestReplay(folder() + L"/missing", 10, std::nullopt), L"");
    EXPECT_EQ(findLatestReplay(L"", 10, std::nullopt), L"");

    // Two of one time: the first met in the walk wins.
    const auto tied = write("tie_b.replay", 0.5);
    write("tie_a.replay", 0);
    fs::last_write_time(dir.path() / "tie_a.replay", fs::last_write_time(platform::widePath(tied)));
    std::wstring first;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("tie_", 0) == 0 && first.empty())
            first = platform::pathToWide(entry.path());
    EXPECT_EQ(findLatestReplay(folder(), 10, L"tie_"), first);
}

TEST_F(ReplayFiles, WatcherScanTakesAnyCaseAndNoAgeOrPrefix) {
    EXPECT_FALSE(newestReplayIn(folder()).has_value());
    write("old.replay", 60 * 24);
    const auto upper = write("MATCH.REPLAY", 60);
    EXPECT_EQ(newestReplayIn(folder()), upper);
    EXPECT_EQ(findLatestReplay(folder(), 60 * 48, std::nullopt), folder() + L"/old.replay");
    const auto bare = write(".replay", 30);
    EXPECT_EQ(newestReplayIn(folder()), bare);
    fs::create_directory(dir.path() / "newer.replay");  // a folder is no replay
    EXPECT_EQ(newestReplayIn(folder()), bare);
    EXPECT_FALSE(newestReplayIn(folder() + L"/missing").has_value());
}

TEST_F(ReplayFiles, ReadingAWholeFileRefusesAnEmptyOrMissingOne) {
    std::string data = "left over";
    EXPECT_FALSE(brevant::readWholeFile(write("empty.replay", 0, 0), data));
    EXPECT_EQ(data, "");
    EXPECT_FALSE(brevant::readWholeFile(folder() + L"/missing.replay", data));
    EXPECT_TRUE(brevant::readWholeFile(write("full.replay", 0, 5), data));
    EXPECT_EQ(data, "rrrrr");
    std::string body = "head|";
    EXPECT_TRUE(brevant::appendWholeFile(write("more.replay", 0, 3), body, 7));
    EXPECT_EQ(body, "head|rrr");
    EXPECT_GE(body.capacity(), 15u);
}

TEST(ReplayNames, OwnedPrefixFollowsItsVariableEvenWhenEmpty) {
    testing_support::CoreHost host;
    EXPECT_EQ(brevant::ownedReplayPrefix(), L"replay_VXA_");  // no console yet
    host.installHandles();
    EXPECT_EQ(brevant::ownedReplayPrefix(), L"replay_VXA_");  // not registered: unreadable
    host.rt().registerCvar("brv_owned_replay_prefix", "", "", true);
    EXPECT_EQ(brevant::ownedReplayPrefix(), L"");
    EXPECT_TRUE(brevant::hasPrefix(L"anything.replay", brevant::ownedReplayPrefix()));
    host.rt().findCvar("brv_owned_replay_prefix")->set("bot\xC3\xA1_");
    EXPECT_EQ(brevant::ownedReplayPrefix(), L"bot\u00E1_");
    EXPECT_EQ(brevant::localPlayerName(nullptr), "");
}

// The Documents folder: the environment, the desktop's user-dirs file, then the home folder;
// without any of them the profile variable, else nothing (or "." for the upload's search).
TEST(ReplayFolders, DocumentsFolderRuleAndTheDemosSuffix) {
    testing_support::TempDir home("brevant-home");
    const std::string h = home.path().string();
    fs::create_directories(home.path() / ".config");
    for (const char* name : {"XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME", "USERPROFILE"})
        ::unsetenv(name);
    ::setenv("HOME", h.c_str(), 1);
    const std::wstring demos = L"/My Games/Rocket League/TAGame/Demos";
    EXPECT_EQ(brevant::defaultReplayFolder(), platform::utf8ToWide(h) + L"/Documents" + demos);

    std::ofstream(home.path() / ".config" / "user-dirs.dirs")
        << "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
           "XDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\n";
    EXPECT_EQ(brevant::defaultReplayFolder(), platform::utf8ToWide(h) + L"/Documentos" + demos);
    ::setenv("XDG_CONFIG_HOME", (h + "/elsewhere").c_str(), 1);  // no file there
    EXPECT_EQ(platform::documentsFolder(), platform::utf8ToWide(h) + L"/Documents");
    ::setenv("XDG_DOCUMENTS_DIR", "/srv/docs", 1);
    EXPECT_EQ(brevant::findDemosFolder(), L"/srv/docs" + demos);

    ::unsetenv("XDG_DOCUMENTS_DIR");
    ::unsetenv("HOME");
    EXPECT_EQ(brevant::defaultReplayFolder(), L"");
    EXPECT_EQ(brevant::findDemosFolder(), L"." + demos);
    ::setenv("USERPROFILE", "/profile", 1);
    EXPECT_EQ(brevant::defaultReplayFolder(), L"/profile/Documents" + demos);
    EXPECT_EQ(brevant::findDemosFolder(), L"/profile/Documents" + demos);

    // Uploads search the watcher's folder when one is set.
    EXPECT_EQ(brevant::replaySearchFolder(), L"/profile/Documents" + demos);
    brevant::replayFolder = L"/chosen";
    EXPECT_EQ(brevant::replaySearchFolder(), L"/chosen");
    brevant::replayFolder.clear();
}

}  // namespace

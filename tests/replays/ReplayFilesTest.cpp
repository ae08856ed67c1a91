// Choosing and reading replays in a real temporary folder, and where the folders are.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/Text.h"
#include "replays/ReplayFiles.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayNames.h"
#include "tests/support/CoreHost.h"
#include "tests/support/TempDir.h"

namespace {
namespace fs = std::filesystem;
using brevant::newestUploadableReplay;
using brevant::newestWrittenReplay;
using platform::pathToWide;

class ReplayFiles : public ::testing::Test {
protected:
    // A file of `bytes` bytes in `sub` written `minutesAgo` minutes ago.
    std::wstring write(const std::string& name, int minutesAgo, std::size_t bytes = 4,
                       const std::string& sub = "") {
        fs::create_directories(dir.path() / sub);
        const fs::path path = dir.path() / sub / name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'r');
        fs::last_write_time(
            path, fs::file_time_type::clock::now() - std::chrono::seconds(60 * minutesAgo + 1));
        return pathToWide(path);
    }
    std::wstring folder(const std::string& sub = "") const { return pathToWide(dir.path() / sub); }

    testing_support::TempDir dir{"brevant-replays"};
};

TEST(ReplayExtension, FollowsTheLastComponentsRules) {
    for (const wchar_t* yes : {L"C:\\Demos\\a.replay", L"/x/a.b.replay", L"a.replay:Zone.Id"})
        EXPECT_TRUE(brevant::hasReplayExtension(yes)) << platform::wideToUtf8(yes);
    for (const wchar_t* no : {L"a.REPLAY", L".replay", L"..", L"a.replay.bak", L"d.replay/a"})
        EXPECT_FALSE(brevant::hasReplayExtension(no)) << platform::wideToUtf8(no);
}

TEST_F(ReplayFiles, UploadChoiceKeepsAgePrefixCaseAndFirstOfATie) {
    write("replay_VXA_late.replay", 11, 4);  // too old, however new among the others
    const auto nine = write("replay_VXA_2024.replay", 9);
    const auto capital = write("Replay_VXA_2025.replay", 1);
    write("replay_VXA_x.txt", 0);
    EXPECT_EQ(newestUploadableReplay(folder(), 10, L"replay_VXA_"), nine);
    EXPECT_EQ(newestUploadableReplay(folder(), 10, L""), capital);
    EXPECT_EQ(newestUploadableReplay(folder("missing"), 10, std::nullopt), L"");

    const auto tie = write("tie_b.replay", 0, 4, "ties");
    fs::last_write_time(platform::widePath(write("tie_a.replay", 0, 4, "ties")),
                        fs::last_write_time(platform::widePath(tie)));
    EXPECT_EQ(newestUploadableReplay(folder("ties"), 10, std::nullopt),
              pathToWide(fs::directory_iterator(dir.path() / "ties")->path()));
}

TEST_F(ReplayFiles, WatcherScanTakesAnyCaseAndNoAgeOrPrefix) {
    EXPECT_FALSE(newestWrittenReplay(folder()).has_value());
    const auto old = write("old.replay", 60 * 24);
    const auto upper = write("MATCH.REPLAY", 60);
    EXPECT_EQ(newestWrittenReplay(folder()), upper);
    EXPECT_EQ(newestUploadableReplay(folder(), 60 * 48, std::nullopt), old);
    fs::create_directory(dir.path() / "newer.replay");  // a folder is no replay
    EXPECT_EQ(newestWrittenReplay(folder()), upper);
}

TEST_F(ReplayFiles, ReadingRefusesAnEmptyFileAndAppendsInPlace) {
    std::string data = "left over";
    EXPECT_FALSE(brevant::readWholeFile(write("empty.replay", 0, 0), data));
    EXPECT_EQ(data, "");
    std::string body = "head|";
    EXPECT_TRUE(brevant::appendWholeFile(write("full.replay", 0, 3), body, 7));
    EXPECT_EQ(body, "head|rrr");
    EXPECT_GE(body.capacity(), 15u);
}

TEST(ReplayNames, OwnedPrefixFollowsItsVariableEvenWhenEmpty) {
    testing_support::CoreHost host;
    host.installHandles();
    EXPECT_EQ(brevant::ownedReplayPrefix(), L"replay_VXA_");  // not registered: unreadable
    host.rt().registerCvar("brv_owned_replay_prefix", "", "", true);
    EXPECT_EQ(brevant::ownedReplayPrefix(), L"");
}

// Documents: the environment, the desktop's user-dirs file, the home folder; then the profile
// variable, else nothing (the upload's search: "."). The desktop's rules: POSIX only.
#ifndef _WIN32
TEST(ReplayFolders, DocumentsFolderRuleAndTheDemosSuffix) {
    testing_support::TempDir home("brevant-home");
    const std::wstring h = pathToWide(home.path()), demos = L"/My Games/Rocket League/TAGame/Demos";
    fs::create_directories(home.path() / ".config");
    for (const char* name : {"XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME", "USERPROFILE"})
        ::unsetenv(name);
    ::setenv("HOME", home.path().c_str(), 1);
    EXPECT_EQ(brevant::gameDemosFolder(), h + L"/Documents" + demos);
    std::ofstream(home.path() / ".config" / "user-dirs.dirs")
        << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\n";
    EXPECT_EQ(brevant::gameDemosFolder(), h + L"/Documentos" + demos);
    ::setenv("XDG_DOCUMENTS_DIR", "/srv/docs", 1);
    EXPECT_EQ(brevant::gameDemosFolderOrHere(), L"/srv/docs" + demos);
    ::unsetenv("XDG_DOCUMENTS_DIR");
    ::unsetenv("HOME");
    EXPECT_EQ(brevant::gameDemosFolder(), L"");
    EXPECT_EQ(brevant::uploadSearchFolder(), L"." + demos);
    ::setenv("USERPROFILE", "/profile", 1);
    EXPECT_EQ(brevant::gameDemosFolder(), L"/profile/Documents" + demos);
}
#endif

}  // namespace

// File replacement and the Documents folder, with names outside ASCII (wide paths end to end).
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/KnownFolders.h"
#include "platform/Text.h"
#include "tests/support/TempDir.h"

namespace {

void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Files, AMoveReplacesAnExistingFileAndKeepsNonAsciiNames) {
    testing_support::TempDir dir;
    const auto folder = dir.path() / platform::widePath(L"Jo\u00E3o \u6E38\u620F");
    std::filesystem::create_directories(folder);
    const auto from = folder / platform::widePath(L"r\u00E9play.replay");
    const auto to = folder / platform::widePath(L"replay_VXA_r\u00E9play.replay");
    writeFile(from, "new bytes");
    writeFile(to, "old and longer bytes");

    ASSERT_TRUE(platform::moveFileReplacing(from, to));
    EXPECT_FALSE(std::filesystem::exists(from));
    EXPECT_EQ(readFile(to), "new bytes");
    EXPECT_EQ(platform::pathToWide(to.filename()), L"replay_VXA_r\u00E9play.replay");
}

TEST(Files, AMoveOfAMissingFileFailsAndLeavesTheTarget) {
    testing_support::TempDir dir;
    const auto to = dir.path() / "kept.replay";
    writeFile(to, "kept");
    EXPECT_FALSE(platform::moveFileReplacing(dir.path() / "missing.replay", to));
    EXPECT_EQ(readFile(to), "kept");
}

TEST(Files, ANewFileIsMadeOnlyWhereNoneIs) {
    testing_support::TempDir dir;
    const auto fresh = dir.path() / platform::widePath(L"r\u00E9play \u6E38.part");
    int err = 0;
    std::FILE* file = platform::createNewFile(fresh, err);
    ASSERT_NE(file, nullptr) << err;
    EXPECT_EQ(std::fwrite("new", 1, 3, file), 3u);
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(readFile(fresh), "new");

    // A name that is taken: refused, and the file there keeps its bytes.
    EXPECT_EQ(platform::createNewFile(fresh, err), nullptr);
    EXPECT_EQ(err, EEXIST);
    EXPECT_EQ(readFile(fresh), "new");
}

#ifdef _WIN32
TEST(KnownFolders, DocumentsIsAFolderTheShellKnows) {
    const auto documents = platform::documentsFolder();
    ASSERT_TRUE(documents.has_value());
    EXPECT_TRUE(std::filesystem::is_directory(platform::widePath(*documents)));
}

TEST(KnownFolders, EnvironmentValuesComeBackWideAndWhole) {
    const std::wstring value = L"C:\\Users\\Jo\u00E3o \u6E38\u620F";
    ASSERT_EQ(::_wputenv_s(L"BREVANT_TEST_PROFILE", value.c_str()), 0);
    EXPECT_EQ(platform::environmentVariable(L"BREVANT_TEST_PROFILE"), value);
    ASSERT_EQ(::_wputenv_s(L"BREVANT_TEST_PROFILE", L""), 0);
    EXPECT_EQ(platform::environmentVariable(L"BREVANT_TEST_PROFILE"), std::nullopt);
}
#endif

}  // namespace

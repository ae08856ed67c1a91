// The rotation file: what a load takes from it, member by member, and what a save leaves.
#include "rotation/RotationFile.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <sstream>

#include "core/FileWriter.h"
#include "core/Workers.h"
#include "match/MatchIdentity.h"
#include "net/Json.h"
#include "platform/Text.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "tests/support/TempDir.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace {

using namespace brevant;

// The file once everything handed to the writer is on disk.
std::string readAll(const std::filesystem::path& p) {
    EXPECT_TRUE(brevant::waitForFileWrites(std::chrono::seconds(10)));
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class RotationFile : public ::testing::Test {
protected:
    void SetUp() override {
        resetMatchIdentity();
        resetHostingState();
        std::lock_guard lk(hostingMutex);
        rotationState.file = file;
    }
    // Every save handed to the writer is done and its thread joined before the next test.
    void TearDown() override {
        EXPECT_TRUE(waitForFileWrites(std::chrono::seconds(10)));
        EXPECT_EQ(waitForWorkers(std::chrono::seconds(10)), 0);
    }
    // Loads `text` from the file into a freshly reset state.
    void load(const std::string& text) {
        SetUp();
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        loadRotationState();
    }
    testing_support::TempDir dir;
    std::filesystem::path file = rotationFilePath(platform::pathToWide(dir.path()));
};

TEST_F(RotationFile, LoadsMemberByMemberAndAdvancesAfterTheLastMap) {
    loadRotationState();  // no file: the initial values
    EXPECT_FALSE(rotationState.enabled.load());
    EXPECT_TRUE(rotationState.rotation.empty());
    EXPECT_EQ(rotationState.nextIdx.load(), 0);
    EXPECT_EQ(rotationState.rev.load(), 1u);
    EXPECT_EQ(rotationState.region, 9);
    EXPECT_EQ(rotationState.settings.MaxPlayerCount, 8);
    EXPECT_EQ(serverNameNow(), "");

    const json five = rotationMapsMd5;
    load(R"({"lastMap":"stadium_p","nextIdx":0,"rotation":)" + five.dump() + "}");
    EXPECT_EQ(rotationState.nextIdx.load(), 3);  // the lookup ignores case

    load(R"({"lastMap":"Mars_P","nextIdx":9,"rotation":)" + five.dump() + "}");
    EXPECT_EQ(rotationState.nextIdx.load(), 9);

    load(R"({"enabled":true,"lastMap":"cs_p","nextIdx":2,"rev":5,"rotation":[],"server":"S"})");
    EXPECT_TRUE(rotationState.enabled.load());
    EXPECT_TRUE(rotationState.rotation.empty());
    EXPECT_EQ(rotationState.nextIdx.load(), 2);
    EXPECT_EQ(rotationState.rev.load(), 5u);
    EXPECT_EQ(serverNameNow(), "S");

    // A member of the wrong type ends the load there: "server" comes first, so only it counts.
    load(R"({"enabled":"true","lastMap":"cs_p","rev":4,"rotation":["a"],"server":"S2"})");
    EXPECT_EQ(serverNameNow(), "S2");
    EXPECT_FALSE(rotationState.enabled.load());
    EXPECT_TRUE(rotationState.rotation.empty());
    EXPECT_EQ(rotationState.rev.load(), 1u);

    // A list or a revision out of a remote state's bounds ends the load there too.
    load(R"({"enabled":true,"rotation":["a",""],"server":"S4"})");
    EXPECT_TRUE(rotationState.enabled.load());
    EXPECT_TRUE(rotationState.rotation.empty());
    load(R"({"rev":4293918720,"rotation":["a"],"server":"S5","ts":9})");
    EXPECT_EQ(rotationState.rotation, std::vector<std::string>{"a"});
    EXPECT_EQ(rotationState.rev.load(), 1u);
    EXPECT_EQ(rotationState.ts.load(), 0);

    load(R"({"server":"S3",)");  // not JSON: nothing at all
    EXPECT_EQ(serverNameNow(), "");
}

TEST_F(RotationFile, SavesTheExactTextAndLoadsItBack) {
    {
        std::lock_guard lk(hostingMutex);
        rotationState.rotation = rotationMapsMd5;
        rotationState.lastMap = "Stadium_P";
        currentServerName = "Sala 1";
        rotationState.region = 3;  // not kept in the file
    }
    rotationState.enabled = true;
    rotationState.nextIdx = 3;
    rotationState.rev = 4;
    rotationState.ts = 123456789012;
    saveRotationState();  // the "plugins" folder does not exist yet
    const std::string expected =
        R"({"enabled":true,"lastMap":"Stadium_P","nextIdx":3,"rev":4,"rotation":["EuroStadium_Night_P","CHN_Stadium_P","Stadium_P","UtopiaStadium_Dusk_P","cs_p"],"server":"Sala 1","ts":123456789012})";
    EXPECT_EQ(readAll(file), expected);

    load(expected);
    EXPECT_TRUE(rotationState.enabled.load());
    EXPECT_EQ(rotationState.rotation, rotationMapsMd5);
    EXPECT_EQ(rotationState.lastMap, "Stadium_P");
    EXPECT_EQ(rotationState.nextIdx.load(), 3);
    EXPECT_EQ(rotationState.rev.load(), 4u);
    EXPECT_EQ(rotationState.ts.load(), 123456789012);
    EXPECT_EQ(serverNameNow(), "Sala 1");
    EXPECT_EQ(rotationState.region, 9);
}

TEST_F(RotationFile, ASaveThatCannotWriteChangesNothing) {
    // Tests run as root, so a read-only folder would not stop the write: a regular file stands
    // where the "plugins" folder should be.
    std::ofstream(dir.path() / "plugins") << "not a folder";
    {
        std::lock_guard lk(hostingMutex);
        currentServerName = "S";
    }
    rotationState.rev = 7;
    saveRotationState();
    EXPECT_FALSE(std::filesystem::is_directory(dir.path() / "plugins"));
    EXPECT_EQ(rotationState.rev.load(), 7u);
    EXPECT_EQ(serverNameNow(), "S");
}

// A program that saves in a loop (tests/rotation/SaveLoopMain.cpp) is killed the moment a
// save starts changing a file in the folder (inotify), so the kill lands inside a write: the
// rotation file is a whole one all the same. (Linux: inotify.)
#ifndef _WIN32
TEST_F(RotationFile, AKilledSaveLeavesAWholeFile) {
    const std::string program = BREVANT_SAVE_LOOP_PATH;
    const std::string target = file.string();
    for (int round = 0; round < 5; ++round) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(target.c_str()),
                        nullptr};
        pid_t child = 0;
        ASSERT_EQ(::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        char line[64];
        ASSERT_GT(::read(out[0], line, sizeof line), 0);  // one whole save is there
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, file.parent_path().c_str(), IN_MODIFY), 0);
        char events[4096];
        ASSERT_GT(::read(watch, events, sizeof events), 0);  // a save is writing now
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(watch);
        ::close(out[0]);
        const json doc = json::parse(readAll(file), nullptr, false);
        ASSERT_TRUE(doc.is_object()) << "round " << round << ": the file is not whole";
        EXPECT_EQ(doc.at("rotation").size(), 10000u);
    }
}

#endif

}  // namespace

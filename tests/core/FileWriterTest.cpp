// The plugin's file writer: the newest snapshot wins whatever order it arrives in, bytes the file
// already holds are not written again, and a failure is logged once and tried again.
#include "core/FileWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/Globals.h"
#include "core/Workers.h"
#include "tests/support/CoreHost.h"

namespace {

using namespace std::chrono_literals;

class FileWriter : public ::testing::Test {
protected:
    void SetUp() override { host.installHandles(); }
    std::string text(const std::filesystem::path& path) {
        EXPECT_TRUE(brevant::waitForFileWrites(10s));
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static brevant::FileContents bytes(std::string s) {
        return [s] { return s; };
    }
    testing_support::CoreHost host;
    std::filesystem::path file = host.dataFolder() / "sub" / "state.json";
};

TEST_F(FileWriter, TheNewestVersionWinsAndEqualBytesAreNotWrittenAgain) {
    brevant::writeFileLater(file, 2, bytes("two"));
    brevant::writeFileLater(file, 1, bytes("one"));  // taken earlier, handed over late
    EXPECT_EQ(text(file), "two");
    brevant::writeFileLater(file, 3, bytes("three"));
    EXPECT_EQ(text(file), "three");

    // The writer knows what the file holds: the same bytes again touch nothing (the file
    // changed behind its back keeps that change).
    std::ofstream(file) << "edited";
    brevant::writeFileLater(file, 4, bytes("three"));
    EXPECT_EQ(text(file), "edited");
    brevant::noteFileContents(file, "edited");
    brevant::writeFileLater(file, 5, bytes("five"));
    EXPECT_EQ(text(file), "five");

    brevant::removeFileLater(file);
    EXPECT_TRUE(brevant::waitForFileWrites(10s));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
}

TEST_F(FileWriter, AFailedWriteIsLoggedOnceLeavesNoTemporaryFileAndIsTriedAgain) {
    // A folder where the file should be: the rename over it fails.
    std::filesystem::create_directories(file);
    for (std::uint64_t v = 1; v <= 3; ++v) {
        brevant::writeFileLater(file, v, bytes("v" + std::to_string(v)));
        ASSERT_TRUE(brevant::waitForFileWrites(10s));
    }
    int failures = 0;
    for (const auto& line : host.logs())
        failures += line.rfind("[BRV] Falha ao gravar ", 0) == 0;
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));

    std::filesystem::remove(file);
    brevant::writeFileLater(file, 4, bytes("v4"));
    EXPECT_EQ(text(file), "v4");
    // A new run of failures is a new line.
    std::filesystem::remove(file);
    std::filesystem::create_directories(file);
    brevant::writeFileLater(file, 5, bytes("v5"));
    ASSERT_TRUE(brevant::waitForFileWrites(10s));
    failures = 0;
    for (const auto& line : host.logs())
        failures += line.rfind("[BRV] Falha ao gravar ", 0) == 0;
    EXPECT_EQ(failures, 2);
}

// Started at load, the writer takes every save without a thread start; nothing waits for it while
// the plugin runs, and once asked to stop (unload) it writes what is left and ends.
TEST_F(FileWriter, TheResidentWriterTakesEverySaveWithoutAThreadStartUntilItIsStopped) {
    brevant::startFileWriter();
    const int started = brevant::workersStarted();
    for (int i = 0; i < 3; ++i) {
        brevant::writeFileLater(file, i + 1, bytes("save " + std::to_string(i)));
        EXPECT_EQ(text(file), "save " + std::to_string(i));
    }
    EXPECT_EQ(brevant::workersStarted(), started);
    EXPECT_EQ(brevant::runningWorkers(), 0);
    brevant::writeFileLater(file, 10, bytes("last"));
    brevant::requestWorkersStop();
    EXPECT_EQ(brevant::waitForWorkers(10s), 0);
    EXPECT_EQ(text(file), "last");
}

}  // namespace

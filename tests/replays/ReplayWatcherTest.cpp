// The replay watcher on its own thread, sleeping on the host's manual clock, with real files in
// a temporary folder and uploads to the loopback test server.
#include "replays/ReplayWatcher.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "plugin/Hooks.h"
#include "replays/ReplayNames.h"
#include "rotation/HostingState.h"
#include "tests/replays/ReplayFixture.h"

namespace {
namespace fs = std::filesystem;

class ReplayWatcher : public testing_support::ReplayFixture {
protected:
    void start() {
        load(true);
        ASSERT_TRUE(host->advanceWithSleeper(0));  // its first poll is done
    }
    // Lets the watcher poll for `seconds`, then waits for the uploads it asked for.
    void poll(double seconds = 2.0) {
        ASSERT_TRUE(host->advanceWithSleeper(seconds));
        host->rt().runPosted();  // the watcher's hand-over to the outbox
        deliver();
    }
    // A game of the series this plugin hosts ends, in its private match.
    void endOwnedMatch() {
        host->game().enterPrivateMatch("Sala", "Stadium_P");
        brevant::beginHostingSeries();
        host->rt().fireEvent(brevant::eventMatchEnded);
        brevant::resetSeries();
    }
    int requested() const { return host->countLog("[BRV] upload iniciado."); }
    int unwanted() const { return host->countLog("[BRV] novo replay"); }
    // How many bytes of file the first upload carried.
    std::size_t firstUploadedFileBytes() {
        const std::string body = server.requests().at(0).body;
        return body.rfind("\r\n--") - body.find("\r\n\r\n", body.find("filename=")) - 4;
    }
};

struct NewReplayCase {
    const char* label;
    const char* written;  // the name the game gives the new replay
    bool owned;
    const char* prefix;     // brv_owned_replay_prefix
    const char* uploads;    // brv_upload_replays
    bool replacesBaseline;  // the baseline goes and a replay older than it comes in
    const char* finalName;
    bool requested;  // the watcher asks for an upload
    bool uploaded;
};

class NewReplay : public ReplayWatcher, public ::testing::WithParamInterface<NewReplayCase> {};

TEST_P(NewReplay, IsJudgedRenamedAndUploadedOnceAndTheBaselineMovesOn) {
    const auto& c = GetParam();
    write("replay_VXA_baseline.replay", 10, 20);
    write("replay_VXA_dup.replay", 10, 25);  // replaced by a rename to its name
    start();
    set("brv_owned_replay_prefix", c.prefix);
    set("brv_upload_replays", c.uploads);
    poll();
    EXPECT_EQ(requested() + unwanted(), 0) << "the replay there at start is no new one";

    if (c.owned)
        endOwnedMatch();
    EXPECT_TRUE(
        host->hasLog(std::string("[BRV] markNextReplayIfOwned: owned=") + (c.owned ? "1" : "0")) ||
        !c.owned);
    if (c.replacesBaseline) {
        fs::remove(demos.path() / "replay_VXA_baseline.replay");
        write(c.written, 64, 21);
    } else {
        write(c.written, 64);
    }
    poll();
    std::error_code ec;
    EXPECT_EQ(fs::file_size(demos.path() / c.finalName, ec), 64u) << c.label;
    EXPECT_EQ(requested(), c.requested ? 1 : 0) << c.label;
    // A replay older than the newest one seen before is no new one.
    EXPECT_EQ(unwanted(), c.requested || c.replacesBaseline ? 0 : 1) << c.label;
    EXPECT_EQ(uploadedNames(),
              c.uploaded ? std::vector<std::string>{c.finalName} : std::vector<std::string>{})
        << c.label;

    // The replay is old news now, whatever its name became, and with uploads on.
    set("brv_upload_replays", "1");
    poll();
    EXPECT_EQ(requested() + unwanted(), c.replacesBaseline ? 0 : 1) << c.label;
    EXPECT_EQ(server.requestCount(), c.uploaded ? 1u : 0u) << c.label;
}

const NewReplayCase newReplayCases[] = {
    {"owned", "4A1F.replay", true, "replay_VXA_", "1", false, "replay_VXA_4A1F.replay", true, true},
    {"prefixed", "replay_VXA_mine.replay", true, "replay_VXA_", "1", false,
     "replay_VXA_mine.replay", true, true},
    {"replacing", "dup.replay", true, "replay_VXA_", "1", false, "replay_VXA_dup.replay", true,
     true},
    {"not_owned", "4A1F.replay", false, "replay_VXA_", "1", false, "4A1F.replay", false, false},
    {"uploads_off", "4A1F.replay", true, "replay_VXA_", "0", false, "replay_VXA_4A1F.replay", false,
     false},
    // Renamed with the variable's prefix; the upload takes the file the watcher found.
    {"other_prefix", "4A1F.replay", true, "BOT_", "1", false, "BOT_4A1F.replay", true, true},
    {"older_other_name", "copied.replay", false, "replay_VXA_", "1", true, "copied.replay", false,
     false},
};
INSTANTIATE_TEST_SUITE_P(Cases, NewReplay, ::testing::ValuesIn(newReplayCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ReplayWatcher, FirstReplayIntoAnEmptyFolderIsUploaded) {
    start();
    poll();
    endOwnedMatch();
    write("first.replay");
    poll();
    EXPECT_TRUE(host->hasLog("[BRV] markNextReplayIfOwned: owned=1"));
    EXPECT_EQ(uploadedNames(), std::vector<std::string>{"replay_VXA_first.replay"});
}

// Two games' replays written at once, the first one slowly: each is owned and uploaded, though
// the second one finished first and the first one is the newest file once done.
TEST_F(ReplayWatcher, ReplaysWrittenAtTheSameTimeAreEachUploaded) {
    start();
    endOwnedMatch();
    host->rt().executeCommand("game replay 3000 3 2");
    endOwnedMatch();
    write("quick.replay");
    poll(10);
    const auto names = uploadedNames();
    ASSERT_EQ(names.size(), 2u);
    for (const auto& name : names)
        EXPECT_EQ(name.rfind("replay_VXA_", 0), 0u) << name;
}

TEST_F(ReplayWatcher, ReplayWrittenInBurstsOver20sIsUploadedOnceStable) {
    start();
    endOwnedMatch();
    // 101 writes 0.2 s apart: the file grows for 20 s, faster than the size checks.
    host->rt().executeCommand("game replay 101000 101 0.2");
    poll(16);  // the first stability wait gave up at 15 s
    EXPECT_EQ(requested(), 0);
    poll(8);
    ASSERT_EQ(requested(), 1);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(firstUploadedFileBytes(), 101000u);  // the whole file went up
}

TEST_F(ReplayWatcher, AReplayThatPausesBetweenWritesIsUploadedOnceWhenComplete) {
    start();
    endOwnedMatch();
    // Three writes 0.5 s apart: two size checks 0.25 s apart can agree between two writes; only
    // the last look, 0.3 s later, sees the file grow again.
    host->rt().executeCommand("game replay 3000 3 0.5");
    poll(5);
    ASSERT_EQ(requested(), 1);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(firstUploadedFileBytes(), 3000u);
}

// Pauses of 2 s between writes pass every size check; the game still holds the file open, and
// the watcher waits for it to let go: one replay, whole, under its new name only.
TEST_F(ReplayWatcher, AReplayIsTakenOnlyOnceTheGameHasLetGoOfIt) {
    start();
    endOwnedMatch();
    host->rt().executeCommand("game replay 3000 3 2");
    poll(8);
    ASSERT_EQ(requested(), 1);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(firstUploadedFileBytes(), 3000u);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(demos.path()))
        files.push_back(entry.path().filename().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("replay_VXA_", 0), 0u) << files[0];
    EXPECT_EQ(fs::file_size(demos.path() / files[0]), 3000u);
}

// The game closes (the plugin unloads) moments after a series game: its replay goes at the next
// load, as the owned mark on disk says it is owed. (An upload that unload cut goes again; the
// backend keeps a repeat once.)
TEST_F(ReplayWatcher, AReplayLeftBehindByAQuickQuitGoesAtTheNextLoad) {
    start();
    std::set<std::string> replays;
    std::size_t expected = 0;
    for (const double delay : {0.1, 0.5, 1.0}) {
        endOwnedMatch();
        host->rt().executeCommand("game replay 3000 3 0.2");
        ASSERT_TRUE(host->advanceWithSleeper(delay));
        host->unload();
        host->load();
        brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, server.port()});
        poll(4);
        const auto names = uploadedNames();
        replays.insert(names.begin(), names.end());
        EXPECT_EQ(replays.size(), ++expected) << delay;  // this game's replay, whole or not
    }
    for (const auto& name : replays)
        EXPECT_EQ(name.rfind("replay_VXA_", 0), 0u) << name;
}

TEST_F(ReplayWatcher, UnloadDuringAStabilityWaitEndsItAtOnce) {
    start();
    host->rt().executeCommand("game replay 200000 200 0.2");
    poll(2);  // in the stability wait, which would last 15 s of the clock
    const auto clockBefore = host->rt().nowNanos();
    // Should the wait ignore the stop, the host's shut-down releases it: the test fails, not hangs.
    std::promise<void> unloaded;
    auto rescued = std::async(std::launch::async, [&, done = unloaded.get_future()] {
        if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
            return false;
        host->rt().stopGameThread();
        return true;
    });
    host->unload();
    unloaded.set_value();
    EXPECT_FALSE(rescued.get());
    EXPECT_EQ(host->rt().nowNanos(), clockBefore);
    EXPECT_FALSE(brevant::replayWatcherRunning.load());
}

TEST_F(ReplayWatcher, TheUploadSendsTheFileTheWatcherFound) {
    write("replay_VXA_hosted.replay", 10, 1);  // the last hosted match's, there at start
    start();
    set("brv_upload_only_vxa", "0");
    write("theirs.replay");  // a match this plugin did not host
    poll();
    EXPECT_EQ(uploadedNames(), std::vector<std::string>{"theirs.replay"});
}

// Files that are not plain replays of the folder, names that would lead elsewhere, and a replay
// the backend would refuse whole: each is turned away with a line, and nothing is sent.
TEST_F(ReplayWatcher, WhatCannotBeAReplayToSendIsTurnedAway) {
    start();
#ifndef _WIN32
    // A link named like a replay, to a file outside the folder: never seen, never moved.
    const auto outside = data.path() / "outside.bin";
    std::ofstream(outside) << "secret";
    endOwnedMatch();
    fs::create_symlink(outside, demos.path() / "x.replay");
    poll();
    EXPECT_EQ(requested() + unwanted(), 0);
    EXPECT_TRUE(fs::exists(outside));
#endif
    // A prefix that is a path: refused with a line, the default stands.
    set("brv_owned_replay_prefix", "../VXA_");
    endOwnedMatch();
    write("a.replay");
    poll();
    EXPECT_TRUE(host->hasLog(
        "[BRV] brv_owned_replay_prefix recusado (caminho, '..', unidade ou mais de 32 bytes): "
        "../VXA_; usando replay_VXA_"));
    EXPECT_TRUE(fs::exists(demos.path() / "replay_VXA_a.replay"));
    for (const std::string& bad :
         {std::string(".."), std::string("x\\y"), std::string("C:"), std::string(33, 'p')}) {
        set("brv_owned_replay_prefix", bad);
        EXPECT_EQ(brevant::ownedReplayPrefix(), L"replay_VXA_") << bad;
    }
    set("brv_owned_replay_prefix", std::string(32, 'p'));
    EXPECT_EQ(brevant::ownedReplayPrefix(), std::wstring(32, L'p'));
    set("brv_owned_replay_prefix", "replay_VXA_");

    // The prefixed name is taken by a folder: the rename fails, with its line.
    fs::create_directories(demos.path() / "replay_VXA_b.replay");
    endOwnedMatch();
    write("b.replay");
    poll();
    EXPECT_TRUE(host->hasLog("[BRV] Falha ao renomear replay."));
    EXPECT_EQ(unwanted(), 1);  // judged by its own name: not owned

    // Bigger than the backend takes (sparse: no disk spent): never read, never kept.
    endOwnedMatch();
    const auto huge = demos.path() / "replay_VXA_huge.replay";
    std::ofstream(huge).close();
    fs::resize_file(huge, 64ull * 1024 * 1024);
    stampNewest(huge);
    poll();
    EXPECT_EQ(
        host->countLog(
            "[BRV] Replay grande demais para enviar (67108864 bytes): replay_VXA_huge.replay"),
        1);
    EXPECT_EQ(requested(), 1);  // a.replay's alone: the huge one was never handed over
    EXPECT_EQ(uploadedNames(), std::vector<std::string>{"replay_VXA_a.replay"});
    EXPECT_TRUE(brevant::outbox::pending().empty());
}

}  // namespace

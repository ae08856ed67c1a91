// The stand-in host itself: the manual clock, hooks, posting from other threads, the console and
// the detection of game calls made off the game thread.
#include "sdk/HostRuntime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"
#include "tests/support/TempDir.h"

namespace {

using sdk::ClockMode;
using sdk::HostRuntime;

std::shared_ptr<HostRuntime> manualHost(const std::filesystem::path& data = {}) {
    return HostRuntime::create({ClockMode::Manual, data});
}

TEST(HostClock, TimersRunInDueOrderAndOnlyWhenDue) {
    auto rt = manualHost();
    auto gw = rt->makeGameWrapper();
    std::vector<std::string> ran;
    gw->SetTimeout([&](GameWrapper*) { ran.push_back("c@0.3"); }, 0.3f);
    gw->SetTimeout([&](GameWrapper*) { ran.push_back("a@0.1"); }, 0.1f);
    gw->SetTimeout([&](GameWrapper*) { ran.push_back("b1@0.2"); }, 0.2f);
    gw->SetTimeout([&](GameWrapper*) { ran.push_back("b2@0.2"); }, 0.2f);

    rt->advance(0.15);
    EXPECT_EQ(ran, (std::vector<std::string>{"a@0.1"}));
    rt->advance(0.15);  // now 0.3: a float delay of 0.3 is due at 0.3 exactly
    EXPECT_EQ(ran, (std::vector<std::string>{"a@0.1", "b1@0.2", "b2@0.2", "c@0.3"}));
    EXPECT_EQ(rt->pendingTimers(), 0u);
}

TEST(HostClock, TimerArmedByATimerRunsInTheSameAdvanceWhenDue) {
    auto rt = manualHost();
    auto gw = rt->makeGameWrapper();
    std::vector<std::int64_t> ticks;
    std::function<void(GameWrapper*)> tick = [&](GameWrapper* g) {
        ticks.push_back(rt->nowNanos() / 1'000'000);
        g->SetTimeout(tick, 1.0f);
    };
    gw->SetTimeout(tick, 1.0f);
    rt->advance(3.5);
    EXPECT_EQ(ticks, (std::vector<std::int64_t>{1000, 2000, 3000}));
    EXPECT_EQ(rt->nowNanos(), 3'500'000'000);
    EXPECT_EQ(rt->pendingTimers(), 1u);
    rt->forgetPluginCallbacks();
}

TEST(HostClock, WorkerWaitIsSeenAndEndsWhenTimeComesOrAtOnceOnStop) {
    auto rt = manualHost();
    std::stop_source stop;
    for (bool byStop : {false, true}) {
        const std::int64_t until = rt->nowNanos() + 2'000'000'000;
        std::atomic<int> woke{-1};
        std::thread worker([&] { woke = rt->waitForClock(until, stop.get_token()); });
        const auto seen = rt->awaitClockWait(0, std::chrono::seconds(10));
        EXPECT_EQ(seen ? seen->until : 0, until);
        if (byStop) {
            stop.request_stop();  // no clock advance: the wait ends by itself
        } else {
            rt->advance(1.0);
            EXPECT_EQ(woke.load(), -1);
            rt->advance(1.0);
        }
        worker.join();
        EXPECT_EQ(woke.load(), byStop ? 0 : 1);
    }
}

TEST(HostHooks, FireRunsEveryHookOfTheEventInOrderWithItsName) {
    auto rt = manualHost();
    auto gw = rt->makeGameWrapper();
    std::vector<std::string> seen;
    gw->HookEvent("Function A", [&](std::string name) { seen.push_back("1:" + name); });
    gw->HookEvent("Function B", [&](std::string name) { seen.push_back("x:" + name); });
    gw->HookEvent("Function A", [&](std::string name) { seen.push_back("2:" + name); });
    rt->fireEvent("Function A");
    EXPECT_EQ(seen, (std::vector<std::string>{"1:Function A", "2:Function A"}));
}

TEST(HostThreads, CallablesPostedFromAnotherThreadRunOnTheGameThreadWhenPumped) {
    auto rt = manualHost();
    auto gw = rt->makeGameWrapper();
    std::thread::id ranOn;
    std::atomic<int> runs{0};
    std::thread poster([&] {
        gw->Execute([&](GameWrapper*) {
            ranOn = std::this_thread::get_id();
            ++runs;
        });
    });
    EXPECT_TRUE(rt->pumpUntil([&] { return runs.load() == 1; }, std::chrono::seconds(10)));
    poster.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(rt->faults().empty());
}

TEST(HostThreads, GameCallOffTheGameThreadIsAFault) {
    auto rt = manualHost();
    auto gw = rt->makeGameWrapper();
    auto cv = rt->makeCvarManager();
    std::thread worker([&] {
        gw->Execute([](GameWrapper*) {});  // allowed
        cv->log("from a worker");          // allowed
        (void)cv->getCvar("anything");     // allowed
        (void)gw->GetOnlineGame();         // not allowed
    });
    worker.join();
    auto faults = rt->faults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("GameWrapper::GetOnlineGame"), std::string::npos);
    rt->forgetPluginCallbacks();
}

TEST(HostThreads, AnExceptionEscapingATimerIsAFault) {
    auto rt = manualHost();
    auto gw = rt->makeGameWrapper();
    gw->SetTimeout([](GameWrapper*) { throw std::runtime_error("boom"); }, 0.1f);
    rt->advance(1);
    ASSERT_EQ(rt->faults().size(), 1u);
    EXPECT_NE(rt->faults()[0].find("boom"), std::string::npos);
}

TEST(HostThreads, RealTimeGameThreadRunsPostsAndTimers) {
    auto rt = HostRuntime::create({ClockMode::RealTime, {}});
    rt->startGameThread();
    auto gw = rt->makeGameWrapper();
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> ran;
    // Posted first, so it runs before the task that arms the timer: the order holds however
    // slow the machine is.
    gw->Execute([&](GameWrapper*) {
        std::lock_guard lk(m);
        ran.push_back("posted");
        cv.notify_all();
    });
    rt->runOnGameThread([&] {
        gw->SetTimeout(
            [&](GameWrapper*) {
                std::lock_guard lk(m);
                ran.push_back("timer");
                cv.notify_all();
            },
            0.05f);
    });
    std::unique_lock lk(m);
    EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return ran.size() == 2; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"posted", "timer"}));
    lk.unlock();
    rt->stopGameThread();
    EXPECT_TRUE(rt->faults().empty());
}

TEST(HostConsole, SavedValueReplacesTheDefaultAndChangesAreSaved) {
    testing_support::TempDir dir;
    std::filesystem::create_directories(dir.path() / "cfg");
    std::ofstream(dir.path() / "cfg" / "config.cfg") << "my_key \"F7\"\n";
    {
        auto rt = manualHost(dir.path());
        auto cv = rt->makeCvarManager();
        EXPECT_EQ(cv->registerCvar("my_key", "F4", "key").getStringValue(), "F7");
        EXPECT_EQ(cv->registerCvar("my_flag", "1", "flag").getStringValue(), "1");
        cv->executeCommand("my_flag 0");
        EXPECT_FALSE(cv->getCvar("my_flag").getBoolValue());
        EXPECT_TRUE(cv->getCvar("missing").IsNull());
        EXPECT_TRUE(rt->saveConfig());
    }
    auto rt = manualHost(dir.path());
    EXPECT_EQ(rt->makeCvarManager()->registerCvar("my_flag", "1", "flag").getStringValue(), "0");
}

TEST(HostConsole, UnreadableSavedLinesAreSkippedWithAWarningAndNeverSavedAgain) {
    testing_support::TempDir dir;
    std::filesystem::create_directories(dir.path() / "cfg");
    std::string file = "good_one \"1\"\n";
    file += std::string("\0\0\0junk \"2\"\n", 12);
    file += "bad-name \"3\"\nthree words here\n";
    for (int i = 0; i < 9; ++i)
        file += std::string("\0\n", 2);
    file += "\n  \ngood_two \"a b\"\r\n";
    std::ofstream(dir.path() / "cfg" / "config.cfg", std::ios::binary) << file;

    auto rt = manualHost(dir.path());
    std::vector<std::string> shown;
    rt->setOutput([&](sdk::OutputKind, const std::string& text) { shown.push_back(text); });
    ASSERT_EQ(shown.size(), 11u);
    EXPECT_EQ(shown[0],
              "config.cfg: line 2 skipped (control characters): \\x00\\x00\\x00junk \"2\"");
    EXPECT_EQ(shown[1], "config.cfg: line 3 skipped (not a variable name): bad-name \"3\"");
    EXPECT_EQ(shown[2], "config.cfg: line 4 skipped (not a name and one value): three words here");
    EXPECT_EQ(shown[10], "config.cfg: 2 more lines skipped");
    EXPECT_EQ(rt->registerCvar("good_two", "", "", true)->get(), "a b");
    ASSERT_TRUE(rt->saveConfig());
    std::ifstream in(dir.path() / "cfg" / "config.cfg", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "good_one \"1\"\ngood_two \"a b\"\n");
}

TEST(HostConsole, HostCommandsBindKeysAndTellUnknownOnes) {
    auto rt = manualHost();
    auto cv = rt->makeCvarManager();
    std::vector<std::vector<std::string>> calls;
    cv->registerNotifier(
        "do_it", [&](std::vector<std::string> args) { calls.push_back(args); }, "", 0);
    cv->executeCommand("bind F4 \"do_it now please\"");
    EXPECT_EQ(rt->binds().at("F4"), "do_it now please");
    cv->executeCommand("press F4");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"do_it", "now", "please"}));
    cv->executeCommand("no_such_thing");
    EXPECT_EQ(rt->logLines().back(), "Unknown command: no_such_thing");
    cv->executeCommand("togglemenu Nope");
    EXPECT_EQ(rt->logLines().back(), "togglemenu: no menu named \"Nope\"; the menus are: settings");
    rt->forgetPluginCallbacks();
}

TEST(HostConsole, GameCommandsMoveThePlayerAndCreationsEnterTheMatch) {
    auto rt = manualHost();
    rt->executeCommand("game private \"Sala 1\" cs_p");
    ASSERT_NE(rt->model().onlineGame, nullptr);
    EXPECT_TRUE(rt->model().onlineGame->privateMatch);
    rt->executeCommand("game map Stadium_P");
    rt->executeCommand("game state");
    EXPECT_EQ(rt->logLines().back(), "game: private match 'Sala 1' on Stadium_P");
    rt->executeCommand("game leave");
    rt->executeCommand("game state");
    EXPECT_EQ(rt->logLines().back(), "game: main menu");

    auto gw = rt->makeGameWrapper();
    CustomMatchSettings settings;
    settings.ServerName = "S";
    settings.MapName = "cs_p";
    gw->GetMatchmakingWrapper().CreatePrivateMatch(9, 6, settings);
    EXPECT_EQ(gw->GetCurrentMap(), "cs_p");
    EXPECT_TRUE(gw->GetOnlineGame().GetPlaylist().IsPrivateMatch());
}

TEST(HostConsole, GameCommandsEndTheGameAndSetHowUpdatesAreAnswered) {
    auto rt = manualHost();
    std::vector<std::string> shown;
    rt->setOutput([&](sdk::OutputKind kind, const std::string& text) {
        if (kind == sdk::OutputKind::Game)
            shown.push_back(text);
    });
    std::vector<std::string> fired;
    for (const char* event : {"Function TAGame.GameEvent_Soccar_TA.EventMatchEnded",
                              "Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted"})
        rt->hookEvent(event, [&](std::string name) { fired.push_back(name.substr(36)); });
    rt->executeCommand("game private S cs_p");
    rt->executeCommand("game end 3 1");
    EXPECT_EQ(fired, (std::vector<std::string>{"EventMatchEnded", "EventPostGameLobbyStarted"}));
    EXPECT_EQ(rt->model().onlineGame->teamScores, (std::vector<std::optional<int>>{3, 1}));
    rt->executeCommand("game end x 1");  // not a score: only the usage
    EXPECT_EQ(fired.size(), 2u);
    // The game ends with the roster's players: by default a 2v2 with Steam and Epic ids.
    const auto& players = rt->model().onlineGame->players;
    ASSERT_EQ(players.size(), 4u);
    EXPECT_EQ(players[0]->name, "Piloto");
    EXPECT_EQ(players[0]->uniqueId, "76561198012345678");
    EXPECT_EQ(players[0]->teamNum, 0);
    EXPECT_EQ(players[3]->name, "Goleiro");
    EXPECT_EQ(players[3]->uniqueId, "0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d");
    EXPECT_EQ(players[3]->teamNum, 1);
    // A roster of one's own; a game end without a score keeps the score.
    rt->executeCommand("game players clear");
    rt->executeCommand("game player \"Ana Li\" 7656 255");
    rt->executeCommand("game player Bo x 256");  // not a team number: only the usage
    rt->executeCommand("game end");
    EXPECT_EQ(fired.size(), 4u);
    ASSERT_EQ(players.size(), 1u);
    EXPECT_EQ(players[0]->name, "Ana Li");
    EXPECT_EQ(players[0]->uniqueId, "7656");
    EXPECT_EQ(players[0]->teamNum, 255);
    EXPECT_EQ(rt->model().onlineGame->teamScores, (std::vector<std::optional<int>>{3, 1}));

    auto gw = rt->makeGameWrapper();
    CustomMatchSettings settings;
    settings.MapName = "Stadium_P";
    settings.MaxPlayerCount = 6;
    EXPECT_TRUE(gw->GetMatchmakingWrapper().UpdatePrivateMatch(settings));
    rt->executeCommand("game update refuse");
    EXPECT_FALSE(gw->GetMatchmakingWrapper().UpdatePrivateMatch(settings));
    rt->executeCommand("game update throw");
    EXPECT_THROW(gw->GetMatchmakingWrapper().UpdatePrivateMatch(settings), std::runtime_error);
    rt->executeCommand("game update accept");
    EXPECT_TRUE(gw->GetMatchmakingWrapper().UpdatePrivateMatch(settings));
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "game: UpdatePrivateMatch map=Stadium_P players=6 -> accepted in 'S'",
                         "game: UpdatePrivateMatch map=Stadium_P players=6 -> refused in 'S'",
                         "game: UpdatePrivateMatch map=Stadium_P players=6 -> error in 'S'",
                         "game: UpdatePrivateMatch map=Stadium_P players=6 -> accepted in 'S'",
                     }));
    EXPECT_EQ(rt->model().matchmaking.updates.size(), 4u);
    rt->forgetPluginCallbacks();
}

TEST(HostConsole, GameSavesAReplayIntoTheReplayFolderInBursts) {
    testing_support::TempDir documents("brevant-documents");
    testing_support::TempDir demos("brevant-demos");
    auto rt = manualHost();
    // Without brv_replay_dir: the Demos folder under the game's Documents folder.
    rt->setDocumentsFolder(documents.path());
    rt->executeCommand("game replay 4");
    const auto underDocuments =
        documents.path() / "My Games" / "Rocket League" / "TAGame" / "Demos";
    ASSERT_TRUE(std::filesystem::is_directory(underDocuments));
    EXPECT_EQ(std::filesystem::directory_iterator(underDocuments)->file_size(), 4u);
    rt->registerCvar("brv_replay_dir", "", "", false)->set(demos.path().string());
    auto sizes = [&] {
        std::vector<std::uintmax_t> out;
        for (const auto& entry : std::filesystem::directory_iterator(demos.path()))
            out.push_back(entry.file_size());
        return out;
    };
    rt->executeCommand("game replay 10 3 0.5");
    for (std::uintmax_t size : {3, 6, 10}) {
        EXPECT_EQ(sizes(), std::vector<std::uintmax_t>{size});
        rt->advance(0.5);
    }
    const auto name = std::filesystem::directory_iterator(demos.path())->path().filename();
    EXPECT_EQ(name.string().size(), 39u);  // 32 hexadecimal digits and .replay, as the game's
    for (const char* bad : {"game replay", "game replay -1", "game replay 5 0", "game replay x"})
        rt->executeCommand(bad);
    EXPECT_EQ(sizes().size(), 1u);
}

}  // namespace

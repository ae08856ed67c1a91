#include "replays/ReplayWatcher.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "core/LoopThread.h"
#include "core/Settings.h"
#include "match/MatchIdentity.h"
#include "match/PrivateMatch.h"
#include "match/Series.h"
#include "outbox/Outbox.h"
#include "platform/Clock.h"
#include "platform/FileHold.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "replays/OwnedMark.h"
#include "replays/ReplayFiles.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayNames.h"
#include "replays/ReplayUpload.h"

namespace brevant {

std::atomic<bool> replayWatcherRunning{false};

namespace {
namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr milliseconds idleWait{500};    // while no folder is set
constexpr milliseconds pollWait{400};    // between polls
constexpr milliseconds sizeCheck{250};   // between size checks of a new replay
constexpr milliseconds settleWait{300};  // once more before trusting the size
constexpr std::int64_t growthLimitMs = 15'000;

LoopThread watcherThread;

// What the loop has seen. Replays written up to `baseline` are old; newer ones are new until
// handed over (their names, and the names they were given, in `handled`). The game may write two
// at once (a slow one and the next game's): each new one is taken in turn, oldest first, so that
// one finishing before another does not hide it. A first poll that finds no replay remembers
// "none", so the first replay written into an empty folder is new.
struct LastSeen {
    bool any = false;
    std::int64_t baseline = std::numeric_limits<std::int64_t>::min();  // raw file time
    std::vector<std::wstring> handled;
};

struct FoundReplay {
    std::int64_t time;  // raw file time
    std::wstring name;
    bool operator<(const FoundReplay& other) const {
        return time != other.time ? time < other.time : name < other.name;
    }
};

// The replays of the folder written after `after`, oldest first.
std::vector<FoundReplay> replaysWrittenAfter(const std::wstring& folder, std::int64_t after) {
    std::vector<FoundReplay> found;
    platform::forEachFileIn(platform::widePath(folder), [&](const auto& name, auto time) {
        const std::int64_t written = time.time_since_epoch().count();
        if (written <= after)
            return;
        const std::wstring wide = platform::pathToWide(fs::path(name));
        if (hasReplayExtension(wide))
            found.push_back({written, wide});
    });
    std::sort(found.begin(), found.end());
    return found;
}

std::optional<std::int64_t> rawWriteTime(const fs::path& file) {
    std::error_code ec;
    const auto time = fs::last_write_time(file, ec);
    if (ec)
        return std::nullopt;
    return static_cast<std::int64_t>(time.time_since_epoch().count());
}

std::optional<std::uintmax_t> sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec)
        return std::nullopt;
    return size;
}

// Waits `wait`, then reads the size again: whether it changed (`size` then holds the new one).
// Nothing when the file vanished or the watcher is stopped.
std::optional<bool> grewAfter(LoopThread& self, const fs::path& file, std::uintmax_t& size,
                              milliseconds wait) {
    if (!self.waitFor(wait))
        return std::nullopt;
    const auto now = sizeOf(file);
    if (!now)
        return std::nullopt;
    const bool grew = *now != size;
    size = *now;
    return grew;
}

// Waits until the file stops growing and the game has let go of it; its size then. Nothing when
// it vanishes, grows for growthLimitMs, is still held growthLimitMs after it last grew (with a
// line: a later pass tries again), or the watcher is stopped.
std::optional<std::uintmax_t> waitUntilComplete(LoopThread& self, const fs::path& file) {
    auto size = sizeOf(file);
    if (!size)
        return std::nullopt;
    const std::int64_t start = platform::steadyMillis();
    for (;;) {
        if (platform::steadyMillis() - start >= growthLimitMs)
            return std::nullopt;
        const auto grew = grewAfter(self, file, *size, sizeCheck);
        if (!grew)
            return std::nullopt;
        if (!*grew)
            break;
    }
    const auto settled = grewAfter(self, file, *size, settleWait);
    if (!settled || *settled)
        return std::nullopt;
    // A pause between the game's writes looks like the end: what says it is the game letting go.
    std::int64_t grewAt = platform::steadyMillis();
    while (platform::heldForWriting(file)) {
        if (platform::steadyMillis() - grewAt >= growthLimitMs) {
            logLine("[BRV] Replay ainda em gravacao pelo jogo; fica para depois: " +
                    platform::wideToUtf8(fileNameOf(platform::pathToWide(file))));
            return std::nullopt;
        }
        const auto grew = grewAfter(self, file, *size, sizeCheck);
        if (!grew)
            return std::nullopt;
        if (*grew)
            grewAt = platform::steadyMillis();
    }
    return sizeOf(file);  // its last write came before it was let go
}

// Puts the owned prefix in front of the replay's name unless it is there; the name it has
// afterwards.
std::wstring giveOwnedPrefix(const fs::path& file, const std::wstring& name) {
    const std::wstring prefix = ownedReplayPrefix();
    if (hasPrefix(name, prefix))
        return name;
    const std::wstring owned = prefix + name;
    // Only a plain file of the folder is renamed: a link named like a replay must not have its
    // target, anywhere on the disk, moved and sent.
    if (!platform::isPlainFile(file) ||
        !platform::moveFileReplacing(file, file.parent_path() / platform::widePath(owned))) {
        logLine("[BRV] Falha ao renomear replay.");
        return name;
    }
    return owned;
}

// The file the watcher found goes to the outbox as it is: this replay, never another one found
// by searching again. The uploader's name is the game's to tell, on the game thread.
void requestUpload(const fs::path& file, std::uint64_t size, std::int64_t writeTime, bool owned,
                   const std::string& series = {}) {
    outbox::ReplayRecord record;
    record.path = platform::wideToUtf8(platform::pathToWide(file));
    record.size = size;
    record.writeTime = writeTime;
    record.owned = owned;
    record.deviceId = deviceId;
    if (!replays::fitsUpload(record)) {
        // Never read: the backend would refuse the request whole.
        logLine("[BRV] Replay grande demais para enviar (" + std::to_string(size) +
                " bytes): " + platform::wideToUtf8(fileNameOf(platform::pathToWide(file))));
        if (owned)
            noteReplayHandedOver(platform::wideToUtf8(fileNameOf(platform::pathToWide(file))));
        return;
    }
    // The owned mark lets go of it once the outbox has it: a post that unload drops leaves it
    // owed, for the next load.
    postToGame([record, series](GameWrapper* gw) mutable {
        record.uploader = localPlayerName(gw);
        record.server = series.empty() ? serverNameNow() : series;
        const bool owned = record.owned;
        const std::string name =
            platform::wideToUtf8(fileNameOf(platform::utf8ToWide(record.path)));
        outbox::keepReplay(std::move(record));
        if (owned)
            noteReplayHandedOver(name);
    });
    logLine("[BRV] upload iniciado.");
}

// A complete replay: the owned prefix when it is owned, then to the outbox when uploads want it.
// Its name afterwards.
std::wstring handOver(const fs::path& file, std::wstring name, std::uint64_t size,
                      std::int64_t finished, bool owned, const std::string& series = {}) {
    if (owned)
        name = giveOwnedPrefix(file, name);
    const bool wanted =
        settingOn("brv_upload_replays", true) &&
        (!settingOn("brv_upload_only_vxa", true) || hasPrefix(name, ownedReplayPrefix()));
    if (wanted) {
        requestUpload(file.parent_path() / platform::widePath(name), size, finished, owned, series);
    } else {
        logLine("[BRV] novo replay");
        if (owned)
            noteReplayHandedOver(platform::wideToUtf8(name));  // nothing more is owed for it
    }
    return name;
}

bool wasHandled(const LastSeen& seen, const std::wstring& name) {
    return std::find(seen.handled.begin(), seen.handled.end(), name) != seen.handled.end();
}

// One poll of the folder; how long to wait before the next.
milliseconds pollOnce(LoopThread& self, LastSeen& seen) {
    if (watchedReplayFolder.empty())
        return idleWait;
    const auto found = replaysWrittenAfter(watchedReplayFolder, seen.baseline);
    if (!seen.any) {
        // What is there when the watcher starts is old (an empty folder: nothing is).
        seen.any = true;
        if (!found.empty())
            seen.baseline = found.back().time;
        return pollWait;
    }
    // The baseline moves past the oldest ones once they are handed over; their names can go.
    std::size_t done = 0;
    while (done < found.size() && wasHandled(seen, found[done].name))
        ++done;
    if (done > 0) {
        seen.baseline = found[done - 1].time;
        std::erase_if(seen.handled, [&](const std::wstring& name) {
            return std::none_of(found.begin() + static_cast<std::ptrdiff_t>(done), found.end(),
                                [&](const FoundReplay& f) { return f.name == name; });
        });
    }
    for (std::size_t i = done; i < found.size(); ++i) {
        if (wasHandled(seen, found[i].name))
            continue;
        const fs::path file = platform::widePath(watchedReplayFolder) / fs::path(found[i].name);
        const auto size = waitUntilComplete(self, file);
        if (!size)
            return pollWait;  // tried again next time: the memory stays as it was
        // The time it has now that it is complete: the one seen first may predate its last
        // writes.
        const auto finished = rawWriteTime(file);
        if (!finished)
            return pollWait;
        const auto game = takeComingReplay(*finished);
        const bool owned = game && game->owned;
        const std::wstring name =
            handOver(file, found[i].name, *size, *finished, owned, owned ? game->series : "");
        seen.handled.push_back(found[i].name);
        if (name != found[i].name)
            seen.handled.push_back(name);
        return pollWait;
    }
    return pollWait;
}

// A replay the last run owed: one written since the game of the mark ended (the game may stamp
// it a moment before its end reached the plugin), not handed over yet. The newest few.
std::vector<fs::path> owedReplays(const OwnedMark& mark) {
    const std::int64_t since =
        mark.endedAt - fs::file_time_type::duration(std::chrono::seconds(10)).count();
    std::vector<std::pair<std::int64_t, fs::path>> found;
    platform::forEachFileIn(platform::widePath(watchedReplayFolder), [&](const auto& name,
                                                                         auto time) {
        const std::wstring wide = platform::pathToWide(fs::path(name));
        const std::string utf8 = platform::wideToUtf8(wide);
        const std::int64_t written = time.time_since_epoch().count();
        if (hasReplayExtension(wide) && written >= since &&
            std::find(mark.handedOver.begin(), mark.handedOver.end(), utf8) ==
                mark.handedOver.end())
            found.emplace_back(written, platform::widePath(watchedReplayFolder) / fs::path(name));
    });
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<fs::path> out;
    for (std::size_t i = 0; i < found.size() && i < 3; ++i)
        out.push_back(found[i].second);
    return out;
}

// The watcher's first step: what the last run owed goes now (a game closed, or the plugin killed,
// within moments of saving its replay).
void handOverWhatTheLastRunOwed(LoopThread& self) {
    const auto mark = readLastRunsOwnedMark();
    if (!mark || !mark->owed || watchedReplayFolder.empty())
        return;
    for (const auto& file : owedReplays(*mark)) {
        const auto size = waitUntilComplete(self, file);
        const auto finished = size ? rawWriteTime(file) : std::nullopt;
        if (!finished)
            continue;
        logLine("[BRV] Replay pendente da ultima sessao: " +
                platform::wideToUtf8(fileNameOf(platform::pathToWide(file))));
        handOver(file, fileNameOf(platform::pathToWide(file)), *size, *finished, true,
                 mark->series);
    }
}

}  // namespace

void replayPollLoop() {
    // Runs only as the watcher thread's body, which gives it its waits.
    LastSeen seen;
    LoopThread& self = watcherThread;
    handOverWhatTheLastRunOwed(self);
    while (replayWatcherRunning.load()) {
        if (!self.waitFor(pollOnce(self, seen)))
            return;
    }
}

void startReplayWatcher() {
    if (replayWatcherRunning.load())
        return;
    if (watchedReplayFolder.empty()) {
        logLine("[BRV] Watcher: diretorio vazio; nao inicia.");
        return;
    }
    replayWatcherRunning.store(true);
    if (!watcherThread.start("brv-watcher", "replay watcher",
                             [](LoopThread&) { replayPollLoop(); })) {
        replayWatcherRunning.store(false);
        return;
    }
    logLine("[BRV] Watcher de replays ON em: " + platform::wideToUtf8(watchedReplayFolder));
}

void stopReplayWatcher() {
    replayWatcherRunning.store(false);
    watcherThread.stop();
}

void markNextReplayIfOwned(GameWrapper* gw) {
    // A game of the series, hosted or joined, played in a private match: a friendly outside any
    // series has no series to be filed under.
    const bool owned = seriesOn() && observeSeries(isInPrivateMatch(gw));
    noteReplayComing(owned, serverNameNow());
    noteGameEnded(owned, serverNameNow(), deviceId);
    logLine(std::string("[BRV] markNextReplayIfOwned: owned=") + (owned ? "1" : "0"));
}

}  // namespace brevant

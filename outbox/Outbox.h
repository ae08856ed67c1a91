#pragma once
// What the plugin owes the backend and could not give it yet: game results that no connected
// session took, and replays until the backend has taken them. Each is one small JSON record in
// <data folder>/Brevant/outbox/, written through the file writer (never on the caller's
// thread), kept across unloads and crashes, and removed once delivered, refused for good, gone,
// or past its time (7 days of wall-clock time) or room (200 records, the oldest first).
//
// One thread of its own ("brv-outbox") reads the records at start and delivers them: results
// through the session, in the order they were made and byte for byte, after each hello and
// whenever one more is kept; replays one at a time, at start, after each hello, on request and
// otherwise with exponential backoff (30 s doubling to 30 min, with jitter).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace brevant::outbox {

// What one delivery attempt came to.
enum class Attempt {
    Delivered,  // the backend has it: the record goes
    TryLater,   // no answer, or an answer that may change (5xx, 408, 429): the record stays
    Refused,    // refused for good (another 4xx): the record goes, with a line
    Gone,       // the replay file is no longer there: the record goes, with a line
};

struct ReplayRecord {
    std::string path;  // UTF-8
    std::uint64_t size = 0;
    std::int64_t writeTime = 0;  // the file's last-write time when it was found, raw
    bool owned = false;          // the replay of a match this plugin hosted
    // The upload's fields, as they were when the replay was found.
    std::string deviceId;
    std::string server;
    std::string uploader;
};

struct Senders {
    // Hands a game result's text to the session: empty when the session took it, else why not
    // ("sem conexao").
    std::function<std::string(const std::string& text)> result;
    // Uploads a replay; `attempt` counts the tries before this one. A stop request ends it at
    // once (TryLater).
    std::function<Attempt(const ReplayRecord& record, int attempt, std::stop_token stop)> replay;
};

// Game thread, at load: starts the thread, which reads `folder` first.
void startOutbox(const std::filesystem::path& folder, Senders senders);
// Game thread, at unload: stops the thread (an upload under way ends at once) and joins it; the
// records stay for the next load.
void stopOutbox();

// A game result, unless results already wait (then it queues behind them, to keep the order):
// sent at once when the session takes it (empty answer), else kept, and the answer says why it
// was not sent. `name` is how the log and the listing show it ("blue 3-1"). Any thread; never
// touches the disk.
std::string sendOrKeepResult(const std::string& text, const std::string& name);
// A replay to deliver. Any thread; never touches the disk.
void keepReplay(ReplayRecord record);

// A session has just said hello: results go now, and replays are tried again at once.
void sessionOpened();
// Everything is tried at once (brv_outbox_retry).
void retryNow();

struct Pending {
    std::string kind;  // "result" or "replay"
    std::string name;
    int attempts = 0;
    std::string nextTry;  // "ao conectar", "agora", "em 57s"
};
// What waits, oldest first. Any thread.
std::vector<Pending> pending();
// How many records wait; never waits: nothing when the thread is busy with the list, or before
// it has read the folder.
std::optional<std::size_t> tryPendingCount();
// Whether the records have been read yet (a listing before that is incomplete). Any thread.
bool loaded();
// Waits until the thread has read its records and sleeps with nothing due (no replay whose
// time has come, nothing asked of it); false when the timeout came first. For tests and tools
// that drive the plugin's clock.
bool waitForIdle(std::chrono::milliseconds timeout);

}  // namespace brevant::outbox

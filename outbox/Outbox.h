#pragma once
// What the plugin owes the backend and could not give it yet: game results until the backend has
// shown it took them, and replays until the backend has taken them. Each is one small JSON record
// in <data folder>/Brevant/outbox/, written through the file writer (never on the caller's
// thread), kept across unloads and crashes, and removed once delivered, refused for good, gone,
// or past its time (7 days of wall-clock time) or room (200 records, the oldest first). A record
// file that fails its checks is moved to bad/ with a line, and the others go on.
//
// Two lanes, so that a result never waits behind an upload:
// - Results go through the session, in the order they were made and byte for byte: at once when
//   nothing older waits, else after the next hello. The protocol has no acknowledgement of a
//   result, so delivery is at least once: a result handed to a session stays, marked sent, until
//   the second ping of the backend that arrives after its frame was written to the socket (the
//   backend has lived past it), or, on a session the backend has not pinged on at all, until
//   that session has lived 10 minutes past it (a backend that does not ping). A session that
//   ends sooner (closed by the backend, lost, or ended by the session for the backend's silence)
//   leaves it to be sent again, the same bytes, after the next hello and before any newer
//   result. The backend keeps a repeat once.
// - Replays go one at a time on a thread of the outbox's own ("brv-outbox"), which also reads the
//   records at start: at start, when a new one is kept, on request, and otherwise with
//   exponential backoff (30 s doubling to 30 min, with jitter) that only a delivery resets; after
//   a hello, a replay never tried yet is tried at once.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "outbox/Delivery.h"

namespace brevant::outbox {

// Game thread, at load: starts the thread, which reads `folder` first.
void startOutbox(const std::filesystem::path& folder, Senders senders);
// Game thread, at unload: stops the thread (an upload under way ends at once) and joins it; the
// records stay for the next load.
void stopOutbox();

// A game result: kept until the backend has shown it has it, and sent at once unless older ones
// wait (then it queues behind them, to keep the order). Empty when the session took it; else
// why it was not sent. `name` is how the log and the listing show it ("blue 3-1"). Any thread;
// never touches the disk.
std::string sendOrKeepResult(const std::string& text, const std::string& name);
// A replay to deliver. Any thread; never touches the disk.
void keepReplay(ReplayRecord record);

// A session has just said hello (its opening thread): results that an ended session had taken
// go again, then those that wait; replays never tried go at once.
void sessionOpened();
// The backend pinged: results whose frame was out before it count one ping more. The
// dispatch thread.
void pingArrived();
// Everything is tried at once (brv_outbox_retry).
void retryNow();

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

#pragma once
// What the backend keeps across restarts: pairings, the record lists, the rank cooldowns and the
// index of stored replays. The in-memory lists stay what the backend reads; each change is also
// handed to the store, which writes it on a thread of its own, so that no network thread waits
// on the disk. A change that a client is told of (an answer, or the next message of its session)
// is told after its Commit is kept, never before.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/LogBook.h"
#include "backend/Server.h"

namespace brevant::backend {

// One change on its way to the disk. It is done once it is committed (kept) or the store gave
// up on it (not kept: an error that writing again would not mend, a change the store had no
// room for, or an upload whose row could not be written at once); the store logs why. While
// the disk refuses writes for a while (full, locked, an I/O error) a change stays pending and is
// delayed: the store writes it again until it is kept.
class Commit {
public:
    // Calls `then` on the store's thread once done and returns true; false, leaving `then` as
    // it was and without calling it, when done already.
    bool then(std::function<void()>&& then);
    // The same, but `call` also comes when the change is delayed, whichever comes first.
    bool thenOrDelayed(std::function<void()>&& call);
    bool done() const;
    bool kept() const;  // done, and on disk
    bool delayed() const;
    // Bounded waits for a thread that may wait (never a network thread): until done, or until
    // done or delayed.
    bool wait(std::chrono::milliseconds timeout) const;
    bool waitSettled(std::chrono::milliseconds timeout) const;
    // Commits are done in the order they were made, but for uploads given up: a later commit
    // has a higher number (0 for one done at once).
    std::uint64_t order() const { return order_; }

    explicit Commit(std::uint64_t order = 0) : order_(order) {}
    void finish(bool kept);
    void delay();

private:
    const std::uint64_t order_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool done_ = false;
    bool kept_ = false;
    bool delayed_ = false;
    std::vector<std::function<void()>> then_;
    std::vector<std::function<void()>> settled_;
};
using CommitRef = std::shared_ptr<Commit>;
CommitRef committedAlready();

// A device's rank state: until when (system clock milliseconds, 0 for none) it waits, and the
// ranks last accepted, as JSON.
struct RankDeviceRow {
    std::int64_t cooldownUntilMs = 0;
    std::string accepted;
};

struct StoredUpload {
    Upload upload;
    std::uint32_t checksum = 0;
};

// What the store held when it opened, oldest first.
struct StoredState {
    std::map<std::string, std::string> pairs;  // device -> Discord user
    std::vector<Hello> hellos;
    std::vector<CreateAck> createAcks;
    std::vector<GameResult> gameResults;
    std::vector<RankSubmission> rankSubmissions;
    std::map<std::string, RankDeviceRow> rankDevices;
    std::vector<StoredUpload> uploads;
};

class Store {
public:
    virtual ~Store() = default;
    // The file it keeps, or ":memory:".
    virtual const std::string& where() const = 0;
    virtual const StoredState& loaded() const = 0;

    virtual CommitRef savePair(const std::string& deviceId, const std::string& discordUser) = 0;
    virtual CommitRef removePair(const std::string& deviceId) = 0;
    virtual CommitRef addHello(const Hello& hello) = 0;
    virtual CommitRef addCreateAck(const CreateAck& ack) = 0;
    virtual CommitRef addGameResult(const GameResult& result) = 0;
    virtual CommitRef addRankSubmission(const RankSubmission& submission) = 0;
    virtual CommitRef saveRankDevice(const std::string& deviceId, const RankDeviceRow& row) = 0;
    // An upload's row, which a client waits for: with `orNotAtAll`, when it cannot be written
    // at once (the disk refuses writes) the store gives up on it rather than trying again, so
    // that the client is told to send it again instead of waiting.
    virtual CommitRef addUpload(const StoredUpload& upload, bool orNotAtAll) = 0;
    virtual CommitRef removeUploads(const std::vector<std::uint64_t>& ids) = 0;
    // Done once every change handed over before it is.
    virtual CommitRef barrier() = 0;
    // Why the disk refuses writes now ("database or disk is full"), empty while it takes them.
    virtual std::string failure() const = 0;
    // Whether the changes waiting to be written hold the most they may (`maxUnkeptBytes`):
    // callers then take no change that can wait for a better moment.
    virtual bool full() const = 0;
    // Writes what is queued and stops its thread; the commits' callbacks have run afterwards.
    virtual void close() = 0;
};

// Opens (or creates) the store at `path` (":memory:" keeps nothing across runs); the record
// lists keep their latest `maxRecords` rows; the changes waiting to be written are full at
// `maxUnkeptBytes` (each counted with kUnkeptOverhead more). Nullptr with `error` naming the
// file and the reason when it cannot be used: a store written by an unknown schema is never
// touched.
inline constexpr std::size_t kUnkeptOverhead = 128;
std::unique_ptr<Store> openStore(const std::string& path, std::size_t maxRecords, LogBook& log,
                                 std::string& error,
                                 std::size_t maxUnkeptBytes = Options{}.maxUnkeptBytes);

}  // namespace brevant::backend

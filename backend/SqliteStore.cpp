// The store in one SQLite file (WAL, one writer: the store's own thread). Changes queued while a
// transaction is written go together into the next one. When the disk refuses a transaction for
// a while (full, locked by another program, an I/O error) it is written again until it is kept,
// and the changes that arrive meanwhile wait with it, up to their bound.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

#include "backend/Json.h"
#include "backend/Store.h"

namespace brevant::backend {
namespace {

// The layout this backend writes, in the file's user_version.
constexpr int kSchema = 1;

constexpr const char* kCreate = R"sql(
CREATE TABLE pairs(device TEXT PRIMARY KEY, user TEXT NOT NULL, at INTEGER NOT NULL);
CREATE TABLE hellos(id INTEGER PRIMARY KEY AUTOINCREMENT, connection INTEGER NOT NULL,
    device TEXT NOT NULL, platform TEXT NOT NULL, version TEXT NOT NULL, epic TEXT NOT NULL,
    steam TEXT NOT NULL);
CREATE TABLE acks(id INTEGER PRIMARY KEY AUTOINCREMENT, connection INTEGER NOT NULL,
    device TEXT NOT NULL, ok INTEGER NOT NULL);
CREATE TABLE results(id INTEGER PRIMARY KEY AUTOINCREMENT, connection INTEGER NOT NULL,
    device TEXT NOT NULL, message TEXT NOT NULL);
CREATE TABLE ranks(id INTEGER PRIMARY KEY AUTOINCREMENT, device TEXT NOT NULL,
    ranks TEXT NOT NULL, status INTEGER NOT NULL, answer TEXT NOT NULL);
CREATE TABLE rank_devices(device TEXT PRIMARY KEY, cooldown_until INTEGER NOT NULL,
    accepted TEXT NOT NULL);
CREATE TABLE uploads(id INTEGER PRIMARY KEY, stored TEXT NOT NULL, file TEXT NOT NULL,
    device TEXT NOT NULL, server TEXT NOT NULL, uploader TEXT NOT NULL, bytes INTEGER NOT NULL,
    checksum INTEGER NOT NULL);
)sql";

using Value = std::variant<std::int64_t, std::string>;

// How long a write waits for another program's lock before the attempt counts as failed, and
// the waits between attempts while the disk refuses writes.
constexpr int kBusyWaitMs = 1000;
constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLastRetry = std::chrono::seconds(2);

// Errors that pass by themselves: the disk gets room again, the other program lets go of its
// lock, the device answers again. Writing again mends them; any other error would come back.
bool passes(int code) {
    switch (code & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_IOERR:
        case SQLITE_FULL:
            return true;
        default:
            return false;
    }
}

class Db {
public:
    ~Db() {
        if (db_)
            sqlite3_close(db_);
    }
    bool open(const std::string& path, std::string& error) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            error = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            return false;
        }
        sqlite3_busy_timeout(db_, kBusyWaitMs);
        return true;
    }
    // The code of the last failure of run() or script().
    int code() const { return code_; }
    bool inTransaction() const { return sqlite3_get_autocommit(db_) == 0; }
    // Runs `sql` with `params` bound in order, calling `row` for each row; false with `error`.
    bool run(const char* sql, const std::vector<Value>& params,
             const std::function<void(sqlite3_stmt*)>& row, std::string& error) {
        sqlite3_stmt* statement = nullptr;
        if (const int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr); rc != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            code_ = rc;
            return false;
        }
        int i = 1;
        for (const Value& value : params) {
            if (const auto* number = std::get_if<std::int64_t>(&value))
                sqlite3_bind_int64(statement, i++, *number);
            else
                sqlite3_bind_text(statement, i++, std::get<std::string>(value).data(),
                                  static_cast<int>(std::get<std::string>(value).size()),
                                  SQLITE_TRANSIENT);
        }
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            if (row)
                row(statement);
        }
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            code_ = rc;
        }
        sqlite3_finalize(statement);
        return rc == SQLITE_DONE;
    }
    bool script(const char* sql, std::string& error) {
        char* message = nullptr;
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
        if (rc == SQLITE_OK)
            return true;
        error = message ? message : sqlite3_errmsg(db_);
        code_ = rc;
        sqlite3_free(message);
        return false;
    }

private:
    sqlite3* db_ = nullptr;
    int code_ = SQLITE_OK;
};

std::string text(sqlite3_stmt* row, int column) {
    const auto* bytes = sqlite3_column_text(row, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<std::size_t>(sqlite3_column_bytes(row, column)))
                 : std::string();
}
std::int64_t number(sqlite3_stmt* row, int column) {
    return sqlite3_column_int64(row, column);
}
Json jsonOf(const std::string& text) {
    return Json::parse(text, nullptr, false);
}

class SqliteStore final : public Store {
public:
    SqliteStore(std::string path, std::size_t maxRecords, std::size_t maxUnkeptBytes, LogBook& log)
        : path_(std::move(path)),
          max_(static_cast<std::int64_t>(maxRecords)),
          maxUnkeptBytes_(maxUnkeptBytes),
          log_(log) {}
    ~SqliteStore() override { close(); }

    bool open(std::string& error) {
        std::string why;
        if (!db_.open(path_, why) || !prepare(why) || !load(why)) {
            error = "state file " + path_ + ": " + why;
            return false;
        }
        thread_ = std::thread([this] { writeLoop(); });
        return true;
    }

    const std::string& where() const override { return path_; }
    const StoredState& loaded() const override { return loaded_; }

    CommitRef savePair(const std::string& device, const std::string& user) override {
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        return queue("pairing", "INSERT OR REPLACE INTO pairs VALUES(?,?,?)",
                     {device, user, static_cast<std::int64_t>(now)});
    }
    CommitRef removePair(const std::string& device) override {
        return queue("pairing", "DELETE FROM pairs WHERE device=?", {device});
    }
    CommitRef addHello(const Hello& h) override {
        return queue(
            "hello",
            "INSERT INTO hellos(connection,device,platform,version,epic,steam) "
            "VALUES(?,?,?,?,?,?)",
            {std::int64_t(h.connection), h.deviceId, h.platform, h.version, h.epicId, h.steamId},
            "hellos");
    }
    CommitRef addCreateAck(const CreateAck& a) override {
        return queue("create ack", "INSERT INTO acks(connection,device,ok) VALUES(?,?,?)",
                     {std::int64_t(a.connection), a.deviceId, std::int64_t(a.ok)}, "acks");
    }
    CommitRef addGameResult(const GameResult& r) override {
        return queue("game result", "INSERT INTO results(connection,device,message) VALUES(?,?,?)",
                     {std::int64_t(r.connection), r.deviceId, dumpCompact(r.message)}, "results");
    }
    CommitRef addRankSubmission(const RankSubmission& s) override {
        return queue("rank submission",
                     "INSERT INTO ranks(device,ranks,status,answer) VALUES(?,?,?,?)",
                     {s.deviceId, dumpCompact(s.ranks), std::int64_t(s.status), s.answer}, "ranks");
    }
    CommitRef saveRankDevice(const std::string& device, const RankDeviceRow& row) override {
        return queue("rank cooldown", "INSERT OR REPLACE INTO rank_devices VALUES(?,?,?)",
                     {device, row.cooldownUntilMs, row.accepted});
    }
    CommitRef addUpload(const StoredUpload& s, bool orNotAtAll) override {
        const Upload& u = s.upload;
        return queue("upload", "INSERT OR REPLACE INTO uploads VALUES(?,?,?,?,?,?,?,?)",
                     {std::int64_t(u.id), u.storedPath.filename().string(), u.fileName, u.deviceId,
                      u.server, u.uploader, std::int64_t(u.bytes), std::int64_t(s.checksum)},
                     nullptr, orNotAtAll);
    }
    CommitRef removeUploads(const std::vector<std::uint64_t>& ids) override {
        return enqueue(
            {[ids](Db& db, std::string& error) {
                 for (const auto id : ids) {
                     if (!db.run("DELETE FROM uploads WHERE id=?", {std::int64_t(id)}, {}, error))
                         return false;
                 }
                 return true;
             },
             "removal of uploads", kUnkeptOverhead + ids.size() * 8});
    }
    CommitRef barrier() override { return enqueue({}); }

    std::string failure() const override {
        std::lock_guard lock(mutex_);
        return failure_;
    }
    bool full() const override { return unkeptBytes_.load() >= maxUnkeptBytes_; }

    void close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return;
            closed_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    using Write = std::function<bool(Db&, std::string&)>;
    struct Job {
        Write write;              // empty for a barrier
        const char* what = "";    // for the log: "game result", "hello", ...
        std::size_t bytes = 0;    // counted in unkeptBytes_
        bool orNotAtAll = false;  // given up rather than written again
        CommitRef commit = {};
        std::string dropped = {};  // why it was not kept, when an error other than the disk's
    };

    // A row added to `list` (a record table) also drops its rows past the latest max_.
    CommitRef queue(const char* what, const char* sql, std::vector<Value> params,
                    const char* list = nullptr, bool orNotAtAll = false) {
        std::size_t bytes = kUnkeptOverhead;
        for (const Value& value : params) {
            if (const auto* text = std::get_if<std::string>(&value))
                bytes += text->size();
        }
        const std::int64_t max = max_;
        return enqueue({[sql, params = std::move(params), list, max](Db& db, std::string& error) {
                            const bool ok = db.run(sql, params, {}, error);
                            if (!ok || !list)
                                return ok;
                            const std::string trim = std::string("DELETE FROM ") + list +
                                                     " WHERE id <= last_insert_rowid() - ?";
                            return db.run(trim.c_str(), {max}, {}, error);
                        },
                        what, bytes, orNotAtAll});
    }

    CommitRef enqueue(Job job) {
        CommitRef commit;
        bool closed = false, refused = false, delayed = false;
        {
            std::lock_guard lock(mutex_);
            commit = std::make_shared<Commit>(++made_);
            closed = closed_;
            refused = !closed && job.orNotAtAll && !failure_.empty();
            if (!closed && !refused) {
                unkeptBytes_ += job.bytes;
                job.commit = commit;
                jobs_.push_back(std::move(job));
                delayed = !failure_.empty();
                wake_.notify_all();
            }
        }
        if (closed)
            log_.write("state file " + path_ + ": a change after the store closed was not kept");
        if (closed || refused)
            commit->finish(false);  // a refused upload's client is told at once
        else if (delayed)
            commit->delay();
        return commit;
    }

    // Takes the queued changes and writes them in one transaction. While the disk refuses it,
    // they and those queued meanwhile are written again until they are kept (logged once, with
    // what waits), but for uploads, which are given up at once. At close, a transaction the
    // disk still refuses is given up, logged.
    void writeLoop() {
        std::deque<Job> pending;
        std::optional<std::chrono::steady_clock::time_point> failingSince;
        auto retry = kFirstRetry;
        for (;;) {
            bool closing = false;
            {
                std::unique_lock lock(mutex_);
                if (failingSince)
                    wake_.wait_for(lock, retry, [this] { return closed_; });
                else
                    wake_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
                std::move(jobs_.begin(), jobs_.end(), std::back_inserter(pending));
                jobs_.clear();
                closing = closed_;
            }
            if (pending.empty())
                return;
            std::string error;
            if (write(pending, error)) {
                if (failingSince) {
                    setFailure({});
                    log_.write("state file " + path_ + ": written again after " +
                               secondsSince(*failingSince) + " s: " + summary(pending) + " kept");
                }
                finish(pending);
                failingSince.reset();
                retry = kFirstRetry;
                continue;
            }
            giveUpUploads(pending, error);
            if (!failingSince) {
                failingSince = std::chrono::steady_clock::now();
                setFailure(error);
                log_.write("state file " + path_ + ": cannot be written now (" + error +
                           "): " + summary(pending) +
                           " wait; written again until kept, and what tells of them waits too");
            }
            for (const Job& job : pending)
                job.commit->delay();
            if (closing) {
                log_.write("state file " + path_ + ": " + summary(pending) + " were not kept (" +
                           error + "); the backend stops without them");
                finish(pending, false);
                return;
            }
            retry = std::min<std::chrono::milliseconds>(retry * 2, kLastRetry);
        }
    }

    // One transaction with every job in it: true once committed. An error of the disk leaves
    // nothing written (false, with `error`); any other drops the change that met it alone
    // (its `dropped`), so that one bad row never blocks the rest.
    bool write(std::deque<Job>& jobs, std::string& error) {
        const auto rollBack = [this] {
            std::string ignored;
            if (db_.inTransaction())
                db_.script("ROLLBACK", ignored);
            return false;
        };
        if (!db_.script("BEGIN IMMEDIATE", error))
            return false;
        for (Job& job : jobs) {
            job.dropped.clear();
            if (!job.write)
                continue;
            if (!db_.script("SAVEPOINT change", error))
                return rollBack();
            std::string why;
            if (job.write(db_, why)) {
                if (!db_.script("RELEASE change", error))
                    return rollBack();
                continue;
            }
            if (passes(db_.code())) {
                error = why;
                return rollBack();
            }
            job.dropped = why.empty() ? "failed" : why;
            if (!db_.script("ROLLBACK TO change; RELEASE change", error))
                return rollBack();
        }
        // A file that cannot take a commit at all is not reported as kept either: it is tried
        // again, whatever the error.
        if (!db_.script("COMMIT", error))
            return rollBack();
        return true;
    }

    // Tells the jobs' commits, in order, and forgets the jobs.
    void finish(std::deque<Job>& jobs, bool written = true) {
        for (Job& job : jobs) {
            if (written && !job.dropped.empty())
                log_.write("state file " + path_ + ": a " + job.what +
                           " was not kept: " + job.dropped);
            unkeptBytes_ -= job.bytes;
            job.commit->finish(written && job.dropped.empty());
        }
        jobs.clear();
    }

    void giveUpUploads(std::deque<Job>& jobs, const std::string& error) {
        for (auto it = jobs.begin(); it != jobs.end();) {
            if (!it->orNotAtAll) {
                ++it;
                continue;
            }
            log_.write("state file " + path_ + ": an upload's row was not kept (" + error +
                       "); its client is told to send it again");
            unkeptBytes_ -= it->bytes;
            it->commit->finish(false);
            it = jobs.erase(it);
        }
    }

    void setFailure(std::string failure) {
        std::lock_guard lock(mutex_);
        failure_ = std::move(failure);
    }

    // "3 changes (1 game result, 2 hellos, 1234 bytes)"
    static std::string summary(const std::deque<Job>& jobs) {
        std::map<std::string, std::size_t> counts;
        std::size_t changes = 0, bytes = 0;
        for (const Job& job : jobs) {
            if (!job.write)
                continue;
            ++changes;
            ++counts[job.what];
            bytes += job.bytes;
        }
        std::string text = std::to_string(changes) + (changes == 1 ? " change (" : " changes (");
        for (const auto& [what, count] : counts)
            text += std::to_string(count) + " " + what + (count == 1 ? ", " : "s, ");
        return text + std::to_string(bytes) + " bytes)";
    }

    static std::string secondsSince(std::chrono::steady_clock::time_point since) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - since)
                            .count();
        return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
    }

    // Sets the file up: a new one gets the layout, one of this layout is used as it is, any
    // other is refused untouched.
    bool prepare(std::string& error) {
        std::int64_t tables = 0, schema = 0;
        if (!db_.run(
                "SELECT count(*) FROM sqlite_master", {},
                [&](sqlite3_stmt* row) { tables = number(row, 0); }, error) ||
            !db_.run(
                "PRAGMA user_version", {}, [&](sqlite3_stmt* row) { schema = number(row, 0); },
                error))
            return false;
        if (tables != 0 && schema != kSchema) {
            error = "written by another version of the backend (schema " + std::to_string(schema) +
                    ", this one knows " + std::to_string(kSchema) +
                    "); left as it is: move it away or name another file with --state";
            return false;
        }
        if (!db_.script("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", error))
            return false;
        if (tables != 0)
            return true;
        const std::string create = std::string("BEGIN;") + kCreate +
                                   "PRAGMA user_version=" + std::to_string(kSchema) + ";COMMIT;";
        return db_.script(create.c_str(), error);
    }

    bool load(std::string& error) {
        StoredState& s = loaded_;
        return db_.run(
                   "SELECT device,user FROM pairs", {},
                   [&](sqlite3_stmt* r) { s.pairs[text(r, 0)] = text(r, 1); }, error) &&
               db_.run(
                   "SELECT connection,device,platform,version,epic,steam FROM hellos "
                   "ORDER BY id",
                   {},
                   [&](sqlite3_stmt* r) {
                       s.hellos.push_back({std::uint64_t(number(r, 0)), text(r, 1), text(r, 2),
                                           text(r, 3), text(r, 4), text(r, 5)});
                   },
                   error) &&
               db_.run(
                   "SELECT connection,device,ok FROM acks ORDER BY id", {},
                   [&](sqlite3_stmt* r) {
                       s.createAcks.push_back(
                           {std::uint64_t(number(r, 0)), text(r, 1), number(r, 2) != 0});
                   },
                   error) &&
               db_.run(
                   "SELECT connection,device,message FROM results ORDER BY id", {},
                   [&](sqlite3_stmt* r) {
                       s.gameResults.push_back(
                           {std::uint64_t(number(r, 0)), text(r, 1), jsonOf(text(r, 2))});
                   },
                   error) &&
               db_.run(
                   "SELECT device,ranks,status,answer FROM ranks ORDER BY id", {},
                   [&](sqlite3_stmt* r) {
                       s.rankSubmissions.push_back(
                           {text(r, 0), jsonOf(text(r, 1)), unsigned(number(r, 2)), text(r, 3)});
                   },
                   error) &&
               db_.run(
                   "SELECT device,cooldown_until,accepted FROM rank_devices", {},
                   [&](sqlite3_stmt* r) {
                       s.rankDevices[text(r, 0)] = {number(r, 1), text(r, 2)};
                   },
                   error) &&
               db_.run(
                   "SELECT id,stored,file,device,server,uploader,bytes,checksum FROM uploads "
                   "ORDER BY id",
                   {},
                   [&](sqlite3_stmt* r) {
                       StoredUpload u;
                       u.upload.id = std::uint64_t(number(r, 0));
                       u.upload.storedPath = text(r, 1);
                       u.upload.fileName = text(r, 2);
                       u.upload.deviceId = text(r, 3);
                       u.upload.server = text(r, 4);
                       u.upload.uploader = text(r, 5);
                       u.upload.bytes = std::uint64_t(number(r, 6));
                       u.checksum = std::uint32_t(number(r, 7));
                       s.uploads.push_back(std::move(u));
                   },
                   error);
    }

    const std::string path_;
    const std::int64_t max_;
    const std::size_t maxUnkeptBytes_;
    LogBook& log_;
    Db db_;  // the writer's own, but for open()
    StoredState loaded_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::uint64_t made_ = 0;  // commits made, for their order
    std::string failure_;     // while the disk refuses writes
    bool closed_ = false;
    // Of the jobs not done yet, queued or being written.
    std::atomic<std::size_t> unkeptBytes_{0};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Store> openStore(const std::string& path, std::size_t maxRecords, LogBook& log,
                                 std::string& error, std::size_t maxUnkeptBytes) {
    auto store = std::make_unique<SqliteStore>(path, maxRecords, maxUnkeptBytes, log);
    if (!store->open(error))
        return nullptr;
    return store;
}

}  // namespace brevant::backend

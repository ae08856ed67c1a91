// The store in one SQLite file (WAL, one writer: the store's own thread). Changes queued while a
// transaction is written go together into the next one.
#include <sqlite3.h>

#include <condition_variable>
#include <deque>
#include <mutex>
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
        sqlite3_busy_timeout(db_, 5000);
        return true;
    }
    // Runs `sql` with `params` bound in order, calling `row` for each row; false with `error`.
    bool run(const char* sql, const std::vector<Value>& params,
             const std::function<void(sqlite3_stmt*)>& row, std::string& error) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
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
        if (rc != SQLITE_DONE)
            error = sqlite3_errmsg(db_);
        sqlite3_finalize(statement);
        return rc == SQLITE_DONE;
    }
    bool script(const char* sql, std::string& error) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }

private:
    sqlite3* db_ = nullptr;
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
    SqliteStore(std::string path, std::size_t maxRecords, LogBook& log)
        : path_(std::move(path)), max_(static_cast<std::int64_t>(maxRecords)), log_(log) {}
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
        return queue("INSERT OR REPLACE INTO pairs VALUES(?,?,?)",
                     {device, user, static_cast<std::int64_t>(now)});
    }
    CommitRef removePair(const std::string& device) override {
        return queue("DELETE FROM pairs WHERE device=?", {device});
    }
    CommitRef addHello(const Hello& h) override {
        return queue(
            "INSERT INTO hellos(connection,device,platform,version,epic,steam) "
            "VALUES(?,?,?,?,?,?)",
            {std::int64_t(h.connection), h.deviceId, h.platform, h.version, h.epicId, h.steamId},
            "hellos");
    }
    CommitRef addCreateAck(const CreateAck& a) override {
        return queue("INSERT INTO acks(connection,device,ok) VALUES(?,?,?)",
                     {std::int64_t(a.connection), a.deviceId, std::int64_t(a.ok)}, "acks");
    }
    CommitRef addGameResult(const GameResult& r) override {
        return queue("INSERT INTO results(connection,device,message) VALUES(?,?,?)",
                     {std::int64_t(r.connection), r.deviceId, dumpCompact(r.message)}, "results");
    }
    CommitRef addRankSubmission(const RankSubmission& s) override {
        return queue("INSERT INTO ranks(device,ranks,status,answer) VALUES(?,?,?,?)",
                     {s.deviceId, dumpCompact(s.ranks), std::int64_t(s.status), s.answer}, "ranks");
    }
    CommitRef saveRankDevice(const std::string& device, const RankDeviceRow& row) override {
        return queue("INSERT OR REPLACE INTO rank_devices VALUES(?,?,?)",
                     {device, row.cooldownUntilMs, row.accepted});
    }
    CommitRef addUpload(const StoredUpload& s) override {
        const Upload& u = s.upload;
        return queue("INSERT OR REPLACE INTO uploads VALUES(?,?,?,?,?,?,?,?)",
                     {std::int64_t(u.id), u.storedPath.filename().string(), u.fileName, u.deviceId,
                      u.server, u.uploader, std::int64_t(u.bytes), std::int64_t(s.checksum)});
    }
    CommitRef removeUploads(const std::vector<std::uint64_t>& ids) override {
        auto commit = std::make_shared<Commit>();
        enqueue(
            [ids](Db& db, std::string& error) {
                for (const auto id : ids) {
                    if (!db.run("DELETE FROM uploads WHERE id=?", {std::int64_t(id)}, {}, error))
                        return false;
                }
                return true;
            },
            commit);
        return commit;
    }
    CommitRef barrier() override {
        auto commit = std::make_shared<Commit>();
        enqueue({}, commit);
        return commit;
    }

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
        Write write;
        CommitRef commit;
    };

    // A row added to `list` (a record table) also drops its rows past the latest max_.
    CommitRef queue(const char* sql, std::vector<Value> params, const char* list = nullptr) {
        auto commit = std::make_shared<Commit>();
        const std::int64_t max = max_;
        enqueue(
            [sql, params = std::move(params), list, max](Db& db, std::string& error) {
                const bool ok = db.run(sql, params, {}, error);
                if (!ok || !list)
                    return ok;
                const std::string trim =
                    std::string("DELETE FROM ") + list + " WHERE id <= last_insert_rowid() - ?";
                return db.run(trim.c_str(), {max}, {}, error);
            },
            commit);
        return commit;
    }

    void enqueue(Write write, CommitRef commit) {
        {
            std::lock_guard lock(mutex_);
            if (!closed_) {
                jobs_.push_back({std::move(write), std::move(commit)});
                wake_.notify_all();
                return;
            }
        }
        log_.write("state file " + path_ + ": a change after the store closed was not kept");
        commit->finish();
    }

    void writeLoop() {
        for (;;) {
            std::deque<Job> jobs;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                jobs.swap(jobs_);
            }
            std::string error;
            bool ok = db_.script("BEGIN IMMEDIATE", error);
            for (auto& job : jobs) {
                if (ok && job.write && !job.write(db_, error))
                    log_.write("state file " + path_ + ": a change was not kept: " + error);
            }
            if (!ok || !db_.script("COMMIT", error)) {
                log_.write("state file " + path_ + ": " + std::to_string(jobs.size()) +
                           " changes were not kept: " + error);
                std::string ignored;
                db_.script("ROLLBACK", ignored);
            }
            for (auto& job : jobs)
                job.commit->finish();
        }
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
    LogBook& log_;
    Db db_;
    StoredState loaded_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Store> openStore(const std::string& path, std::size_t maxRecords, LogBook& log,
                                 std::string& error) {
    auto store = std::make_unique<SqliteStore>(path, maxRecords, log);
    if (!store->open(error))
        return nullptr;
    return store;
}

}  // namespace brevant::backend

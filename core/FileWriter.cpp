#include "core/FileWriter.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "core/Guard.h"
#include "core/Log.h"
#include "core/Workers.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace brevant {
namespace {

struct Job {
    std::uint64_t version = 0;
    FileContents contents;  // empty: remove the file
    // A removal only when the file was last written longer ago than this.
    std::optional<std::chrono::seconds> olderThan;
};

// Whether the file at `path` was last written more than `age` ago.
bool writtenBefore(const std::filesystem::path& path, std::chrono::seconds age) {
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(path, ec);
    return !ec && std::filesystem::file_time_type::clock::now() - written > age;
}

struct FileState {
    std::optional<std::string> onDisk;  // what the file holds, when known
    std::uint64_t newestVersion = 0;    // of what was handed over
    bool failing = false;               // the last write failed (and was logged)
};

class Writer {
public:
    void hand(const std::filesystem::path& path, Job job) {
        std::unique_lock lk(mutex_);
        const Key& key = path.native();
        auto& file = files_[key];
        if (job.contents && job.version != 0) {
            if (job.version <= file.newestVersion)
                return;  // an older snapshot, handed over late
            file.newestVersion = job.version;
        }
        if (!waiting_.count(key))
            order_.push_back(key);
        waiting_[key] = std::move(job);
        if (running_) {
            work_.notify_one();
            return;
        }
        running_ = true;
        // Started without the lock held: the worker registry's lock is taken while a stop
        // request reaches the writer, which then takes this one.
        lk.unlock();
        startThread(false);
    }

    void startResident() {
        {
            std::lock_guard lk(mutex_);
            if (running_)
                return;
            running_ = true;
            resident_ = true;
        }
        startThread(true);
    }

    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock lk(mutex_);
        return idle_.wait_for(lk, timeout, [&] { return order_.empty() && !busy_; });
    }

    void note(const std::filesystem::path& path, std::string bytes) {
        std::lock_guard lk(mutex_);
        files_[path.native()].onDisk = std::move(bytes);
    }

    void reset() {
        std::lock_guard lk(mutex_);
        files_.clear();
    }

    bool idle() {
        std::lock_guard lk(mutex_);
        return !running_;
    }

private:
    void startThread(bool resident) {
        try {
            auto body = [this](std::stop_token stop) { run(stop); };
            if (resident)
                startResidentWorker("brv-writer", body);
            else
                startWorker("brv-writer", body);
        } catch (...) {
            std::lock_guard lk(mutex_);
            running_ = false;  // no thread: the next hand-over tries again
            resident_ = false;
            idle_.notify_all();
        }
    }

    // The writer's thread: everything waiting, then it ends; the resident one waits for more
    // until it is asked to stop. A stop request does not end it early: what it holds is what
    // the player would otherwise lose.
    void run(std::stop_token stop) {
        std::stop_callback wake(stop, [this] {
            std::lock_guard lk(mutex_);
            work_.notify_all();
        });
        for (;;) {
            Key key;
            Job job;
            std::optional<std::string> onDisk;
            {
                std::unique_lock lk(mutex_);
                if (resident_)
                    work_.wait(lk, [&] { return !order_.empty() || stop.stop_requested(); });
                if (order_.empty()) {
                    running_ = false;
                    resident_ = false;
                    idle_.notify_all();
                    return;
                }
                key = std::move(order_.front());
                order_.pop_front();
                job = std::move(waiting_.at(key));
                waiting_.erase(key);
                onDisk = files_[key].onDisk;
                busy_ = true;
            }
            const std::filesystem::path path(key);
            std::optional<std::string> written;
            std::string error;
            runGuarded("file writer", [&] {
                if (!job.contents) {
                    if (job.olderThan && !writtenBefore(path, *job.olderThan))
                        return;
                    std::error_code ec;
                    std::filesystem::remove(path, ec);
                    if (ec)
                        error = "remove: " + ec.message();
                    return;
                }
                std::string bytes = job.contents();
                if (onDisk && *onDisk == bytes) {
                    written = std::move(bytes);  // already there
                    return;
                }
                if (platform::writeFileAtomically(path, bytes, error))
                    written = std::move(bytes);
            });
            std::lock_guard lk(mutex_);
            busy_ = false;
            auto& file = files_[key];
            const bool failed = !error.empty();
            if (failed && !file.failing)
                logLine("[BRV] Falha ao gravar " +
                        platform::wideToUtf8(platform::pathToWide(path)) + " (" + error +
                        "); nova tentativa no proximo salvamento");
            file.failing = failed;
            file.onDisk = failed || !job.contents ? std::nullopt : std::move(written);
            if (order_.empty())
                idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable idle_;
    std::condition_variable work_;  // the resident writer's wait for something to write
    // By the path's own text: comparing paths component by component costs more than it says.
    using Key = std::filesystem::path::string_type;
    std::deque<Key> order_;  // files with something waiting, first come first
    std::unordered_map<Key, Job> waiting_;
    std::unordered_map<Key, FileState> files_;
    bool running_ = false;
    bool resident_ = false;  // the running writer waits for more until it is asked to stop
    bool busy_ = false;
};

// The writer goes with the module only when its thread has ended; a thread still writing then
// (the host keeps such a module loaded) must find it in place, so it is left alive instead.
struct WriterHolder {
    Writer* instance = new Writer;
    ~WriterHolder() {
        if (instance->idle())
            delete instance;
    }
};
WriterHolder holder;

Writer& writer() {
    return *holder.instance;
}

}  // namespace

void writeFileLater(const std::filesystem::path& path, std::uint64_t version,
                    FileContents contents) {
    if (!contents)
        return;
    writer().hand(path, Job{version, std::move(contents), std::nullopt});
}

void removeFileLater(const std::filesystem::path& path) {
    writer().hand(path, Job{0, nullptr, std::nullopt});
}

void removeStaleFileLater(const std::filesystem::path& path, std::chrono::seconds age) {
    writer().hand(path, Job{0, nullptr, age});
}

void startFileWriter() {
    writer().startResident();
}

bool waitForFileWrites(std::chrono::milliseconds timeout) {
    return writer().wait(timeout);
}

void noteFileContents(const std::filesystem::path& path, std::string bytes) {
    writer().note(path, std::move(bytes));
}

void resetFileWriter() {
    writer().reset();
}

}  // namespace brevant

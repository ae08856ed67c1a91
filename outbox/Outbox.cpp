#include "outbox/Outbox.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <utility>

#include "core/FileWriter.h"
#include "core/Log.h"
#include "core/LoopThread.h"
#include "core/Waker.h"
#include "net/Json.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Random.h"
#include "platform/Text.h"

namespace brevant::outbox {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t keptForMs = 7LL * 24 * 60 * 60 * 1000;  // wall-clock time
constexpr std::size_t maxRecords = 200;
constexpr std::int64_t firstRetryMs = 30'000;
constexpr std::int64_t lastRetryMs = 30LL * 60 * 1000;
// A record's count of tries stays within these, whatever its file says: the backoff shifts by it.
constexpr int mostAttempts = 1000;

struct Record {
    std::string kind;  // "result" or "replay"
    std::string name;
    std::int64_t createdMs = 0;  // wall clock
    int attempts = 0;
    std::int64_t nextTryMs = 0;  // plugin clock; replays only (0: at once)
    std::string text;            // result
    ReplayRecord replay;         // replay
};

// The record as its file holds it.
json toJson(const Record& r) {
    json doc{
        {"kind", r.kind}, {"name", r.name}, {"created", r.createdMs}, {"attempts", r.attempts}};
    if (r.kind == "result") {
        doc["text"] = r.text;
    } else {
        doc["path"] = r.replay.path;
        doc["size"] = r.replay.size;
        doc["writeTime"] = r.replay.writeTime;
        doc["owned"] = r.replay.owned;
        doc["deviceId"] = r.replay.deviceId;
        doc["server"] = r.replay.server;
        doc["uploader"] = r.replay.uploader;
    }
    return doc;
}

std::optional<Record> fromJson(const json& doc) {
    Record r;
    r.kind = stringField(doc, "kind", "");
    r.name = stringField(doc, "name", "");
    r.createdMs = int64Field(doc, "created", 0);
    r.attempts = std::clamp(intField(doc, "attempts", 0), 0, mostAttempts);
    if (r.kind == "result") {
        r.text = stringField(doc, "text", "");
        if (r.text.empty())
            return std::nullopt;
    } else if (r.kind == "replay") {
        r.replay.path = stringField(doc, "path", "");
        const auto size = int64Field(doc, "size", 0);
        r.replay.size = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
        r.replay.writeTime = int64Field(doc, "writeTime", 0);
        r.replay.owned = boolField(doc, "owned", false);
        r.replay.deviceId = stringField(doc, "deviceId", "");
        r.replay.server = stringField(doc, "server", "");
        r.replay.uploader = stringField(doc, "uploader", "");
        if (r.replay.path.empty())
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return r;
}

std::int64_t wallMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string inWords(std::int64_t ms) {
    const std::int64_t s = (ms + 999) / 1000;
    if (s < 120)
        return std::to_string(s) + "s";
    if (s < 2 * 3600)
        return std::to_string((s + 59) / 60) + "m";
    return std::to_string((s + 3599) / 3600) + "h";
}

class Outbox {
public:
    void start(const fs::path& folder, Senders senders) {
        {
            std::lock_guard lk(mutex_);
            folder_ = folder;
            senders_ = std::move(senders);
            records_.clear();
            loaded_ = false;
            poked_ = true;
        }
        thread_.start("brv-outbox", "outbox", [this](LoopThread& self) { run(self); });
    }

    void stop() { thread_.stop(); }

    std::string sendOrKeep(const std::string& text, const std::string& name) {
        std::function<std::string(const std::string&)> send;
        {
            std::lock_guard lk(mutex_);
            const bool waiting = std::any_of(records_.begin(), records_.end(), [](const auto& r) {
                return r.second.kind == "result";
            });
            if (!waiting)
                send = senders_.result;
        }
        std::string why = send ? send(text) : "outros resultados na fila";
        if (why.empty())
            return why;
        Record r;
        r.kind = "result";
        r.name = name;
        r.text = text;
        keep(std::move(r));
        logLine("[BRV] Outbox: game_result guardado para reenvio (" + name + ")");
        return why;
    }

    void keepReplay(ReplayRecord replay) {
        Record r;
        r.kind = "replay";
        const auto slash = replay.path.find_last_of("/\\");
        r.name = slash == std::string::npos ? replay.path : replay.path.substr(slash + 1);
        r.replay = std::move(replay);
        keep(std::move(r));
    }

    void poke(bool everything) {
        {
            std::lock_guard lk(mutex_);
            poked_ = true;
            if (everything)
                for (auto& [key, r] : records_)
                    r.nextTryMs = 0;
        }
        waker_.wake();
    }

    std::vector<Pending> pending() {
        std::lock_guard lk(mutex_);
        std::vector<Pending> out;
        const std::int64_t now = platform::steadyMillis();
        for (const auto& [key, r] : records_) {
            std::string next = "ao conectar";
            if (r.kind == "replay")
                next = r.nextTryMs <= now ? "agora" : "em " + inWords(r.nextTryMs - now);
            out.push_back({r.kind, r.name, r.attempts, next});
        }
        return out;
    }

    std::optional<std::size_t> tryCount() {
        std::unique_lock lk(mutex_, std::try_to_lock);
        if (!lk.owns_lock() || !loaded_)
            return std::nullopt;
        return records_.size();
    }

    bool isLoaded() {
        std::lock_guard lk(mutex_);
        return loaded_;
    }

    bool waitForIdle(std::chrono::milliseconds timeout) {
        std::unique_lock lk(mutex_);
        return idle_.wait_for(lk, timeout, [&] {
            if (!sleeping_ || poked_ || !loaded_)
                return false;
            const std::int64_t now = platform::steadyMillis();
            return std::none_of(records_.begin(), records_.end(), [&](const auto& r) {
                return r.second.kind == "replay" && r.second.nextTryMs <= now;
            });
        });
    }

private:
    // The record goes into the list and, through the file writer, to its file.
    void keep(Record r) {
        std::lock_guard lk(mutex_);
        r.createdMs = wallMillis();
        char key[64];
        std::snprintf(key, sizeof key, "%013lld-%06u-%s", static_cast<long long>(r.createdMs),
                      ++sequence_ % 1'000'000, r.kind.c_str());
        persistLocked(key, r);
        records_.emplace(key, std::move(r));
        poked_ = true;
        waker_.wake();
    }

    void persistLocked(const std::string& key, const Record& r) {
        if (folder_.empty())
            return;
        writeFileLater(folder_ / (key + ".json"), 0, [doc = toJson(r)] { return dumpJson(doc); });
    }

    void dropLocked(std::map<std::string, Record>::iterator at) {
        if (!folder_.empty())
            removeFileLater(folder_ / (at->first + ".json"));
        records_.erase(at);
    }

    // Reads the folder: the thread's first job, off the game thread.
    void load() {
        fs::path folder;
        {
            std::lock_guard lk(mutex_);
            folder = folder_;
        }
        std::vector<std::pair<std::string, std::string>> files;  // key, text
        platform::forEachFileIn(folder, [&](const auto& name, auto) {
            const fs::path file(name);
            if (file.extension() != ".json")
                return;
            std::ifstream in(folder / file, std::ios::binary);
            files.emplace_back(platform::wideToUtf8(platform::pathToWide(file.stem())),
                               std::string(std::istreambuf_iterator<char>(in), {}));
        });
        std::vector<std::string> unreadable;
        std::lock_guard lk(mutex_);
        for (auto& [key, text] : files) {
            std::optional<Record> r;
            try {
                r = fromJson(json::parse(text));
            } catch (...) {
                r.reset();
            }
            if (!r) {
                unreadable.push_back(key);
                removeFileLater(folder / (key + ".json"));
                continue;
            }
            records_.emplace(key, std::move(*r));
        }
        loaded_ = true;
        for (const auto& key : unreadable)
            logLine("[BRV] Outbox: registro ilegivel descartado (" + key + ")");
    }

    // Past 7 days, or past the room for 200: the oldest go, a line each.
    void expire() {
        std::vector<std::string> lines;
        {
            std::lock_guard lk(mutex_);
            const std::int64_t oldest = wallMillis() - keptForMs;
            for (auto it = records_.begin(); it != records_.end();) {
                const auto next = std::next(it);
                if (it->second.createdMs < oldest) {
                    lines.push_back("[BRV] Outbox: " + it->second.kind + " " + it->second.name +
                                    " descartado: mais de 7 dias");
                    dropLocked(it);
                }
                it = next;
            }
            while (records_.size() > maxRecords) {
                lines.push_back("[BRV] Outbox: " + records_.begin()->second.kind + " " +
                                records_.begin()->second.name + " descartado: mais de " +
                                std::to_string(maxRecords) + " pendentes");
                dropLocked(records_.begin());
            }
        }
        for (const auto& line : lines)
            logLine(line);
    }

    // The results that wait, in order, until the session takes no more.
    void deliverResults() {
        for (;;) {
            std::string key, text, name;
            std::function<std::string(const std::string&)> send;
            {
                std::lock_guard lk(mutex_);
                const auto it = std::find_if(records_.begin(), records_.end(), [](const auto& r) {
                    return r.second.kind == "result";
                });
                if (it == records_.end() || !senders_.result)
                    return;
                key = it->first;
                text = it->second.text;
                name = it->second.name;
                send = senders_.result;
            }
            if (!send(text).empty())
                return;
            {
                std::lock_guard lk(mutex_);
                if (const auto it = records_.find(key); it != records_.end())
                    dropLocked(it);
            }
            logLine("[BRV] Outbox: game_result reenviado (" + name + ")");
        }
    }

    // One replay whose time has come, tried; false when none is due.
    bool deliverOneReplay(std::stop_token stop) {
        std::string key;
        Record record;
        std::function<Attempt(const ReplayRecord&, int, std::stop_token)> send;
        {
            std::lock_guard lk(mutex_);
            const std::int64_t now = platform::steadyMillis();
            const auto it = std::find_if(records_.begin(), records_.end(), [&](const auto& r) {
                return r.second.kind == "replay" && r.second.nextTryMs <= now;
            });
            if (it == records_.end() || !senders_.replay)
                return false;
            key = it->first;
            record = it->second;
            send = senders_.replay;
        }
        const Attempt outcome = send(record.replay, record.attempts, stop);
        std::string line;
        {
            std::lock_guard lk(mutex_);
            const auto it = records_.find(key);
            if (it == records_.end())
                return true;
            switch (outcome) {
                case Attempt::Delivered:
                    dropLocked(it);
                    break;
                case Attempt::Refused:
                    line = "[BRV] Outbox: replay " + record.name +
                           " recusado pelo backend; descartado";
                    dropLocked(it);
                    break;
                case Attempt::Gone:
                    line = "[BRV] Outbox: replay " + record.name + " nao existe mais; descartado";
                    dropLocked(it);
                    break;
                case Attempt::TryLater: {
                    if (stop.stop_requested())
                        break;  // cut by unload: tried again at the next load, as it was
                    auto& r = it->second;
                    r.attempts = std::min(r.attempts + 1, mostAttempts);
                    const std::int64_t base =
                        std::min(lastRetryMs, firstRetryMs << std::min(r.attempts - 1, 10));
                    std::uniform_int_distribution<std::int64_t> jitter(base / 2, base);
                    const std::int64_t delay = jitter(random_);
                    r.nextTryMs = platform::steadyMillis() + delay;
                    persistLocked(key, r);
                    line =
                        "[BRV] Outbox: nova tentativa de " + record.name + " em " + inWords(delay);
                    break;
                }
            }
        }
        if (!line.empty())
            logLine(line);
        return true;
    }

    // Waits for the next replay's time, or for what pokes it; false once asked to stop.
    bool waitForWork(LoopThread& self) {
        std::int64_t waitMs = -1;  // nothing has a time: only what comes wakes it
        {
            std::lock_guard lk(mutex_);
            if (std::exchange(poked_, false))
                return !self.stopRequested();  // something came meanwhile: look again first
            const std::int64_t now = platform::steadyMillis();
            for (const auto& [key, r] : records_)
                if (r.kind == "replay")
                    waitMs = std::max<std::int64_t>(
                        0, waitMs < 0 ? r.nextTryMs - now : std::min(waitMs, r.nextTryMs - now));
            sleeping_ = true;
        }
        idle_.notify_all();
        const bool go = waker_.wait(waitMs, self.stopToken());
        std::lock_guard lk(mutex_);
        sleeping_ = false;
        poked_ = false;
        return go;
    }

    void run(LoopThread& self) {
        load();
        expire();
        do {
            deliverResults();
            while (!self.stopRequested() && deliverOneReplay(self.stopToken()))
                deliverResults();
        } while (waitForWork(self));
    }

    std::mutex mutex_;
    fs::path folder_;
    Senders senders_;
    std::map<std::string, Record> records_;  // by key: oldest first
    unsigned sequence_ = 0;
    bool loaded_ = false;
    bool poked_ = false;
    bool sleeping_ = false;  // in waitForWork, between its checks
    std::condition_variable idle_;
    Waker waker_;
    std::mt19937 random_{platform::osRandom32()};
    LoopThread thread_;
};

Outbox& theOutbox() {
    static Outbox outbox;
    return outbox;
}

}  // namespace

void startOutbox(const std::filesystem::path& folder, Senders senders) {
    theOutbox().start(folder, std::move(senders));
}
void stopOutbox() {
    theOutbox().stop();
}
std::string sendOrKeepResult(const std::string& text, const std::string& name) {
    return theOutbox().sendOrKeep(text, name);
}
void keepReplay(ReplayRecord record) {
    theOutbox().keepReplay(std::move(record));
}
void sessionOpened() {
    theOutbox().poke(true);
}
void retryNow() {
    theOutbox().poke(true);
}
std::vector<Pending> pending() {
    return theOutbox().pending();
}
bool loaded() {
    return theOutbox().isLoaded();
}
std::optional<std::size_t> tryPendingCount() {
    return theOutbox().tryCount();
}
bool waitForIdle(std::chrono::milliseconds timeout) {
    return theOutbox().waitForIdle(timeout);
}

}  // namespace brevant::outbox

#include "outbox/Outbox.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "core/Log.h"
#include "outbox/OutboxState.h"
#include "outbox/RecordFolder.h"
#include "outbox/Schedule.h"
#include "platform/Clock.h"

namespace brevant::outbox {
namespace {

constexpr std::size_t maxRecords = 200;

std::int64_t wallMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

void OutboxState::start(const std::filesystem::path& folder, Senders senders) {
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

void OutboxState::stop() {
    thread_.stop();
}

std::string OutboxState::keepLocked(Record r) {
    r.createdMs = wallMillis();
    char key[64];
    std::snprintf(key, sizeof key, "%013lld-%06u-%s", static_cast<long long>(r.createdMs),
                  ++sequence_ % 1'000'000, r.kind.c_str());
    if (!folder_.empty())
        saveRecord(folder_, key, r);
    records_.insert_or_assign(key, std::move(r));
    poked_ = true;
    waker_.wake();
    return key;
}

void OutboxState::dropLocked(Records::iterator at) {
    if (!folder_.empty())
        forgetRecord(folder_, at->first);
    records_.erase(at);
}

// Reads the folder: the thread's first job, off the game thread. A record that fails its checks
// is moved aside, a line each; the others are read whatever it held.
void OutboxState::load() {
    std::filesystem::path folder;
    {
        std::lock_guard lk(mutex_);
        folder = folder_;
    }
    tidyRecordFolder(folder);
    std::vector<std::string> lines;
    Records read;
    for (auto& file : readRecordFiles(folder)) {
        auto checked = readRecord(file.text, wallMillis());
        if (!checked.record) {
            setAside(folder, file.key);
            lines.push_back("[BRV] Outbox: registro invalido movido para bad/ (" + file.key + ": " +
                            checked.why + ")");
            continue;
        }
        read.emplace(std::move(file.key), std::move(*checked.record));
    }
    {
        std::lock_guard lk(mutex_);
        // Kept meanwhile (a game that ended in the first moments) come after what was read.
        read.merge(records_);
        records_ = std::move(read);
        loaded_ = true;
    }
    for (const auto& line : lines)
        logLine(line);
}

// Past 7 days, or past the room for 200: the oldest go, a line each. On every pass.
void OutboxState::expire() {
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

void OutboxState::run(LoopThread& self) {
    load();
    do {
        expire();
        deliverResults();
        {
            std::lock_guard lk(mutex_);
            confirmResultsLocked(false);
        }
        while (!self.stopRequested() && deliverOneReplay(self.stopToken()))
            ;
    } while (waitForWork(self));
}

std::vector<Pending> OutboxState::pending() {
    std::lock_guard lk(mutex_);
    std::vector<Pending> out;
    const std::int64_t now = platform::steadyMillis();
    for (const auto& [key, r] : records_) {
        std::string next = r.sent ? "enviado; aguardando o backend" : "ao conectar";
        if (r.kind == "replay")
            next = r.nextTryMs <= now ? "agora" : "em " + inWords(r.nextTryMs - now);
        out.push_back({r.kind, r.name, r.attempts, next});
    }
    return out;
}

std::optional<std::size_t> OutboxState::tryCount() {
    std::unique_lock lk(mutex_, std::try_to_lock);
    if (!lk.owns_lock() || !loaded_)
        return std::nullopt;
    return records_.size();
}

bool OutboxState::isLoaded() {
    std::lock_guard lk(mutex_);
    return loaded_;
}

bool OutboxState::waitForIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    return idle_.wait_for(lk, timeout, [&] {
        if (!sleeping_ || poked_ || !loaded_)
            return false;
        const std::int64_t now = platform::steadyMillis();
        return std::none_of(records_.begin(), records_.end(), [&](const auto& r) {
            return r.second.kind == "replay" ? r.second.nextTryMs <= now
                                             : confirmationDue(r.second, now);
        });
    });
}

OutboxState& theOutbox() {
    static OutboxState outbox;
    return outbox;
}

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
    theOutbox().resultsAfterHello();
    theOutbox().replaysAfterHello();
}
void pingArrived() {
    theOutbox().pingArrived();
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

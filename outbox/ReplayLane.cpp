// Replays: one upload at a time on the outbox's thread, each record at its own time, backing off
// after each failure until a delivery.
#include <algorithm>

#include "core/Log.h"
#include "outbox/OutboxState.h"
#include "outbox/RecordFolder.h"
#include "outbox/Schedule.h"
#include "platform/Clock.h"

namespace brevant::outbox {

void OutboxState::keepReplay(ReplayRecord replay) {
    Record r;
    r.kind = "replay";
    const auto slash = replay.path.find_last_of("/\\");
    r.name = slash == std::string::npos ? replay.path : replay.path.substr(slash + 1);
    r.replay = std::move(replay);
    std::lock_guard lk(mutex_);
    keepLocked(std::move(r));
}

void OutboxState::poke(bool everything) {
    {
        std::lock_guard lk(mutex_);
        poked_ = true;
        if (everything)
            for (auto& [key, r] : records_)
                r.nextTryMs = 0;
    }
    waker_.wake();
}

// A hello does not undo the backoff (a session that comes and goes would otherwise upload at
// its own rate): only a replay never tried goes at once.
void OutboxState::replaysAfterHello() {
    {
        std::lock_guard lk(mutex_);
        poked_ = true;
        for (auto& [key, r] : records_)
            if (r.kind == "replay" && r.attempts == 0)
                r.nextTryMs = 0;
    }
    waker_.wake();
}

bool OutboxState::deliverOneReplay(std::stop_token stop) {
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
                line = "[BRV] Outbox: replay " + record.name + " recusado pelo backend; descartado";
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
                const std::int64_t delay = retryDelayMs(r.attempts, random_);
                r.nextTryMs = platform::steadyMillis() + delay;
                if (!folder_.empty())
                    saveRecord(folder_, key, r);
                line = "[BRV] Outbox: nova tentativa de " + record.name + " em " + inWords(delay);
                break;
            }
        }
    }
    if (!line.empty())
        logLine(line);
    return true;
}

// Waits for the next replay's time or result check, or for what pokes it; false once asked to
// stop.
bool OutboxState::waitForWork(LoopThread& self) {
    // Until a time of the clock, not for a while: the clock read here may have moved by the
    // time the wait begins.
    std::int64_t deadline = -1;  // nothing has a time: only what comes wakes it
    {
        std::lock_guard lk(mutex_);
        if (std::exchange(poked_, false))
            return !self.stopRequested();  // something came meanwhile: look again first
        auto until = [&](std::int64_t at) {
            const std::int64_t when = std::max<std::int64_t>(0, at);
            deadline = deadline < 0 ? when : std::min(deadline, when);
        };
        for (const auto& [key, r] : records_)
            if (r.kind == "replay")
                until(r.nextTryMs);
        if (const std::int64_t check = nextResultCheckLocked(); check >= 0)
            until(check);
        sleeping_ = true;
    }
    idle_.notify_all();
    const bool go = waker_.waitUntil(deadline, self.stopToken());
    std::lock_guard lk(mutex_);
    sleeping_ = false;
    poked_ = false;
    return go;
}

}  // namespace brevant::outbox

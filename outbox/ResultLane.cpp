// Results: handed to the session in the order they were made, kept until the backend has shown
// it is alive past them (see Outbox.h), sent again after the next hello when their session ended
// first.
#include <algorithm>
#include <iterator>

#include "core/Log.h"
#include "net/BackendSession.h"
#include "outbox/OutboxState.h"
#include "outbox/Schedule.h"
#include "platform/Clock.h"

namespace brevant::outbox {
namespace {

// Sent: the outbox's thread then also waits for the moment it may let go of it.
void markSent(Record& r, const SentFrame& frame) {
    r.sent = true;
    r.frame = frame;
    r.pingsAfterWritten = 0;
    r.sentAtMs = platform::steadyMillis();
}

}  // namespace

std::string OutboxState::sendOrKeep(const std::string& text, const std::string& name) {
    std::lock_guard lane(resultLane_);
    std::string key;
    std::function<std::string(const std::string&, SentFrame&)> send;
    bool first = false;
    {
        std::lock_guard lk(mutex_);
        // Older ones go first: those not read yet, not sent, or sent on a session that ended.
        first = loaded_ && std::none_of(records_.begin(), records_.end(), [&](const auto& r) {
                    return r.second.kind == "result" && (!r.second.sent || !senders_.open ||
                                                         !senders_.open(r.second.frame.session));
                });
        Record r;
        r.kind = "result";
        r.name = name;
        r.text = text;
        key = keepLocked(std::move(r));
        send = senders_.result;
    }
    // Behind older ones with the session down, the session is the reason the player needs.
    std::string why = !send || (!first && !backendConnected()) ? "sem conexao"
                      : !first                                 ? "outros resultados na fila"
                                                               : "";
    SentFrame frame;
    if (why.empty())
        why = send(text, frame);
    if (why.empty()) {
        std::lock_guard lk(mutex_);
        if (const auto it = records_.find(key); it != records_.end())
            markSent(it->second, frame);
        poked_ = true;
        waker_.wake();
        return why;
    }
    logLine("[BRV] Outbox: game_result guardado para reenvio (" + name + ")");
    return why;
}

void OutboxState::deliverResults() {
    std::lock_guard lane(resultLane_);
    for (;;) {
        std::string key, text, name;
        std::function<std::string(const std::string&, SentFrame&)> send;
        {
            std::lock_guard lk(mutex_);
            const auto it = std::find_if(records_.begin(), records_.end(), [](const auto& r) {
                return r.second.kind == "result" && !r.second.sent;
            });
            if (!loaded_ || it == records_.end() || !senders_.result)
                return;
            key = it->first;
            text = it->second.text;
            name = it->second.name;
            send = senders_.result;
        }
        SentFrame frame;
        if (!send(text, frame).empty())
            return;
        {
            std::lock_guard lk(mutex_);
            if (const auto it = records_.find(key); it != records_.end())
                markSent(it->second, frame);
            poked_ = true;
            waker_.wake();
        }
        logLine("[BRV] Outbox: game_result reenviado (" + name + ")");
    }
}

void OutboxState::resultsAfterHello() {
    {
        std::lock_guard lk(mutex_);
        for (auto& [key, r] : records_)
            if (r.kind == "result" && r.sent && !(senders_.open && senders_.open(r.frame.session)))
                r.sent = false;  // its session ended before the backend showed it had it
    }
    deliverResults();
}

void OutboxState::pingArrived() {
    std::lock_guard lk(mutex_);
    confirmResultsLocked(true);
}

void OutboxState::confirmResultsLocked(bool ping) {
    const std::int64_t now = platform::steadyMillis();
    for (auto it = records_.begin(); it != records_.end();) {
        const auto next = std::next(it);
        auto& r = it->second;
        if (r.kind == "result" && r.sent && senders_.written && senders_.written(r.frame)) {
            if (ping)
                ++r.pingsAfterWritten;
            if (r.pingsAfterWritten >= pingsToConfirm || agedPastLocked(r, now))
                dropLocked(it);
        }
        it = next;
    }
}

bool OutboxState::agedPastLocked(const Record& r, std::int64_t now) const {
    return now - r.sentAtMs >= resultAliveAfterMs && !pingedLocked(r);
}

bool OutboxState::pingedLocked(const Record& r) const {
    return senders_.pinged && senders_.pinged(r.frame.session);
}

bool OutboxState::confirmationDue(const Record& r, std::int64_t now) const {
    return r.kind == "result" && r.sent && agedPastLocked(r, now) && senders_.written &&
           senders_.written(r.frame);
}

std::int64_t OutboxState::nextResultCheckLocked() const {
    // One whose time has passed unconfirmed (its frame not out yet, or its session gone) waits
    // for a ping or the next hello, not for the clock; so does one whose backend pings.
    const std::int64_t now = platform::steadyMillis();
    std::int64_t next = -1;
    for (const auto& [key, r] : records_) {
        const std::int64_t at = r.sentAtMs + resultAliveAfterMs;
        if (r.kind == "result" && r.sent && at > now && !pingedLocked(r))
            next = next < 0 ? at : std::min(next, at);
    }
    return next;
}

}  // namespace brevant::outbox

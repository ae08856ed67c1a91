#pragma once
// The outbox's state and its two lanes, shared by the files that hold them: Outbox.cpp (start,
// stop, the folder, the listing), ResultLane.cpp and ReplayLane.cpp. Not for other folders.
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/LoopThread.h"
#include "core/Waker.h"
#include "outbox/Delivery.h"
#include "outbox/Record.h"
#include "platform/Random.h"

namespace brevant::outbox {

class OutboxState {
public:
    void start(const std::filesystem::path& folder, Senders senders);
    void stop();

    // Results (ResultLane.cpp).
    std::string sendOrKeep(const std::string& text, const std::string& name);
    void resultsAfterHello();
    void pingArrived();

    // Replays (ReplayLane.cpp).
    void keepReplay(ReplayRecord replay);
    void poke(bool everything);
    void replaysAfterHello();

    std::vector<Pending> pending();
    std::optional<std::size_t> tryCount();
    bool isLoaded();
    bool waitForIdle(std::chrono::milliseconds timeout);

private:
    using Records = std::map<std::string, Record>;  // by key: oldest first

    // Outbox.cpp
    std::string keepLocked(Record r);  // into the list and to its file; its key
    void dropLocked(Records::iterator at);
    void load();
    void expire();
    void run(LoopThread& self);

    // ResultLane.cpp
    void deliverResults();  // those not sent, in order, until the session takes no more
    // Results a session took that are taken for delivered: pinged past or aged past.
    void confirmResultsLocked(bool ping);
    std::int64_t nextResultCheckLocked() const;  // plugin clock; -1: none
    // A result the session has lived past long enough, not yet let go of.
    bool confirmationDue(const Record& r, std::int64_t now) const;
    // A sent result's session has lived 10 minutes past it without a ping of the backend.
    bool agedPastLocked(const Record& r, std::int64_t now) const;
    bool pingedLocked(const Record& r) const;  // its session is open and was pinged on

    // ReplayLane.cpp
    bool deliverOneReplay(std::stop_token stop);
    bool waitForWork(LoopThread& self);

    std::mutex mutex_;
    std::filesystem::path folder_;
    Senders senders_;
    Records records_;
    unsigned sequence_ = 0;
    bool loaded_ = false;
    bool poked_ = false;
    bool sleeping_ = false;  // in waitForWork, between its checks
    std::condition_variable idle_;
    Waker waker_;
    std::mt19937 random_{platform::osRandom32()};
    // One delivery of results at a time, so that they leave in order and once per session.
    // Taken before mutex_, never inside it.
    std::mutex resultLane_;
    LoopThread thread_;
};

OutboxState& theOutbox();

}  // namespace brevant::outbox

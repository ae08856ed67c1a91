#include "net/MessagePipeline.h"

#include <algorithm>

#include "core/Guard.h"
#include "platform/ModuleThread.h"
#include "platform/ThreadName.h"

namespace brevant {
namespace {

// How many times the dispatch thread looks again for the next message before it sleeps: a
// burst of messages is handled without a wake-up each (a few microseconds of looking).
constexpr int spinsBeforeSleep = 4000;

}  // namespace

bool MessagePipeline::start(const char* name) {
    try {
        thread_ = std::thread([this, name] {
            // The last thing this thread does: the module stays loaded until it ends.
            platform::runHoldingModule([this, name] {
                platform::setCurrentThreadName(name);
                run();
            });
        });
        return true;
    } catch (...) {
        return false;
    }
}

void MessagePipeline::push(std::string text) {
    const std::size_t bytes = std::max<std::size_t>(text.size(), 1);
    // Room for it: fewer than `capacity` waiting and, unless nothing waits at all, the bytes.
    while (waitingBytes_.load() != 0 && waitingBytes_.load() + bytes > maxWaitingBytes) {
        if (stopping_.load())
            return;
        std::this_thread::yield();
    }
    waitingBytes_.fetch_add(bytes);
    while (!queue_.push(std::move(text))) {
        if (stopping_.load())
            return;
        std::this_thread::yield();
    }
    // Wakes the dispatch thread if it went to sleep; the fence pairs with its own, so that
    // either it sees this text or this sees it asleep. The lock closes the gap between its look
    // at the queue and its sleep.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sleeping_.load()) {
        std::lock_guard lk(sleepMutex_);
        woken_.notify_one();
    }
}

void MessagePipeline::stop() {
    stopping_.store(true);
    {
        std::lock_guard lk(sleepMutex_);
        woken_.notify_one();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
    if (!thread_.joinable())
        queue_.consume_all(
            [](std::string&) {});  // the dispatch thread is gone: this one empties it
}

void MessagePipeline::run() {
    std::string text;
    for (;;) {
        if (stopping_.load())
            return;  // what still waits is dropped: the session is going
        if (queue_.pop(text)) {
            dispatchMessage(text, routes_);
            waitingBytes_.fetch_sub(std::max<std::size_t>(text.size(), 1));
            text = std::string();
            continue;
        }
        bool more = false;
        for (int i = 0; i < spinsBeforeSleep && !more; ++i)
            more = queue_.read_available() != 0 || stopping_.load(std::memory_order_relaxed);
        if (more)
            continue;
        std::unique_lock lk(sleepMutex_);
        sleeping_.store(true);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        woken_.wait(lk, [this] { return queue_.read_available() != 0 || stopping_.load(); });
        sleeping_.store(false);
    }
}

}  // namespace brevant

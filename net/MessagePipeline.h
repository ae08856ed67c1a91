#pragma once
// Received texts on their way from the session's receiver to the thread that handles them. The
// receiver only hands each text over, so it keeps up with the socket however long a handler
// takes; one dispatch thread parses each text once, routes it and runs its handler, one message
// at a time, in arrival order, as the receiver did before. What waits is bounded, in messages
// and in bytes: past the bound the receiver waits for room, and the socket's flow control slows
// the sender.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include <boost/lockfree/spsc_queue.hpp>

#include "net/Dispatcher.h"

namespace brevant {

class MessagePipeline {
public:
    static constexpr std::size_t capacity = 1024;
    static constexpr std::size_t maxWaitingBytes = 8 * 1024 * 1024;

    // `routes` must outlive the pipeline.
    explicit MessagePipeline(std::span<const MessageRoute> routes) : routes_(routes) {}
    ~MessagePipeline() { stop(); }
    MessagePipeline(const MessagePipeline&) = delete;
    MessagePipeline& operator=(const MessagePipeline&) = delete;

    // Starts the dispatch thread, named `name`; false when no thread could be started.
    bool start(const char* name);
    // From the receiver (one thread): queues a received text, waiting while the queue is at its
    // bound. Dropped once the pipeline is stopping.
    void push(std::string text);
    // Drops what still waits and joins the dispatch thread. Not from the dispatch thread.
    void stop();
    // Nothing waits and no handler runs.
    bool drained() const { return waitingBytes_.load() == 0; }
    bool stopRequested() const { return stopping_.load(); }

private:
    void run();

    const std::span<const MessageRoute> routes_;
    boost::lockfree::spsc_queue<std::string, boost::lockfree::capacity<capacity>> queue_;
    // The texts handed over and not yet handled, in bytes (an empty text counts one).
    std::atomic<std::size_t> waitingBytes_{0};
    std::atomic<bool> stopping_{false};
    // The dispatch thread's sleep when nothing comes. A mutex and a condition variable, not an
    // atomic's wait: the latter loses wake-ups in the Windows build's standard library.
    std::atomic<bool> sleeping_{false};
    std::mutex sleepMutex_;
    std::condition_variable woken_;
    std::thread thread_;
};

}  // namespace brevant

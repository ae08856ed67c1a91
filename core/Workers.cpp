#include "core/Workers.h"

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "core/Guard.h"
#include "platform/ModuleThread.h"
#include "platform/ThreadName.h"

namespace brevant {
namespace {

struct Worker {
    std::jthread thread;
    bool resident = false;
    bool done = false;
};

class WorkerRegistry {
public:
    // Only ever destroyed when no worker runs: every thread has ended and is joined here.
    ~WorkerRegistry() {
        std::lock_guard lk(mutex_);
        reapLocked();
    }

    void start(std::string name, std::function<void(std::stop_token)> fn, bool resident) {
        std::lock_guard lk(mutex_);
        reapLocked();
        auto& worker = workers_.emplace_back();
        worker.resident = resident;
        try {
            worker.thread = std::jthread([this, &worker, name = std::move(name),
                                          fn = std::move(fn)](std::stop_token stop) mutable {
                // The last thing this thread does: the module stays loaded until it ends.
                platform::runHoldingModule([&] {
                    platform::setCurrentThreadName(name.c_str());
                    runGuarded("worker", [&] { fn(stop); });
                    fn = nullptr;  // the callable's captures die while still counted
                    std::lock_guard lk(mutex_);
                    worker.done = true;
                    ended_.notify_all();
                });
            });
        } catch (...) {
            workers_.pop_back();
            throw;
        }
        ++started_;
    }

    int started() {
        std::lock_guard lk(mutex_);
        return started_;
    }

    void requestStop() {
        std::lock_guard lk(mutex_);
        for (auto& w : workers_)
            w.thread.request_stop();
    }

    int running() {
        std::lock_guard lk(mutex_);
        return runningLocked();
    }

    int wait(std::chrono::milliseconds timeout) {
        std::unique_lock lk(mutex_);
        ended_.wait_for(lk, timeout, [&] { return runningLocked() == 0; });
        reapLocked();
        return runningLocked();
    }

private:
    int runningLocked() const {
        int n = 0;
        for (auto& w : workers_)
            n += w.done || (w.resident && !w.thread.get_stop_token().stop_requested()) ? 0 : 1;
        return n;
    }

    // Joins the threads that have ended: after the join none of them runs our code any more.
    void reapLocked() {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->done) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable ended_;
    std::list<Worker> workers_;
    int started_ = 0;
};

// The registry goes with the module or the process only when no worker runs any more; a worker
// still running then (the host keeps such a module loaded) must find its registry in place, so
// it is left alive instead. A resident worker never asked to stop (a process that ends without
// an unload) is asked now, as its thread is joined, and ends once its work is done.
struct RegistryHolder {
    WorkerRegistry* registry = new WorkerRegistry;
    ~RegistryHolder() {
        if (registry->running() == 0)
            delete registry;
    }
};
RegistryHolder holder;
WorkerRegistry& registry = *holder.registry;

}  // namespace

void startWorker(std::string name, std::function<void(std::stop_token)> fn) {
    registry.start(std::move(name), std::move(fn), false);
}
void startResidentWorker(std::string name, std::function<void(std::stop_token)> fn) {
    registry.start(std::move(name), std::move(fn), true);
}
int workersStarted() {
    return registry.started();
}
void requestWorkersStop() {
    registry.requestStop();
}
int runningWorkers() {
    return registry.running();
}
int waitForWorkers(std::chrono::milliseconds timeout) {
    return registry.wait(timeout);
}

}  // namespace brevant

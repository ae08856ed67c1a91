#include "core/LoopThread.h"

#include "core/Guard.h"
#include "platform/Clock.h"
#include "platform/ModuleThread.h"
#include "platform/ThreadName.h"

namespace brevant {

bool LoopThread::start(std::string name, const char* where, std::function<void(LoopThread&)> body) {
    if (thread_.joinable())
        return true;
    try {
        stop_ = std::stop_source();
        thread_ = std::thread([this, name = std::move(name), where, body = std::move(body)] {
            // The last thing this thread does: the module stays loaded until it ends.
            platform::runHoldingModule([&] {
                platform::setCurrentThreadName(name.c_str());
                runGuarded(where, [&] { body(*this); });
            });
        });
        return true;
    } catch (...) {
        return false;
    }
}

void LoopThread::stop() {
    if (!thread_.joinable())
        return;
    stop_.request_stop();  // wakes a waitFor under way
    if (thread_.get_id() == std::this_thread::get_id())
        return;  // the body asked for its own end: it returns by itself
    thread_.join();
}

bool LoopThread::waitFor(std::chrono::milliseconds period) {
    return platform::sleepMs(period.count(), stop_.get_token());
}

}  // namespace brevant

#pragma once
// A shared handle that threads may copy while another thread replaces it: every load and store
// is one indivisible step. (std::atomic<std::shared_ptr> would serve too, but GCC 12's version
// releases its internal lock with relaxed ordering after a load, which ThreadSanitizer reports
// as a race; a mutex says the same thing in a way every tool understands.)
#include <memory>
#include <mutex>
#include <utility>

namespace brevant {

template <typename T>
class SharedHandle {
public:
    std::shared_ptr<T> load() const {
        std::lock_guard lk(mutex_);
        return handle_;
    }
    void store(std::shared_ptr<T> handle) {
        std::shared_ptr<T> previous;
        {
            std::lock_guard lk(mutex_);
            previous = std::exchange(handle_, std::move(handle));
        }
        // The previous object, if this was its last handle, goes outside the lock.
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> handle_;
};

}  // namespace brevant

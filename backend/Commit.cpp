#include <utility>

#include "backend/Store.h"

namespace brevant::backend {

bool Commit::then(std::function<void()>&& then) {
    std::lock_guard lock(mutex_);
    if (done_)
        return false;
    then_.push_back(std::move(then));
    return true;
}

bool Commit::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

bool Commit::wait(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_; });
}

void Commit::finish() {
    std::vector<std::function<void()>> then;
    {
        std::lock_guard lock(mutex_);
        if (done_)
            return;
        done_ = true;
        then.swap(then_);
    }
    changed_.notify_all();
    for (const auto& call : then)
        call();
}

CommitRef committedAlready() {
    auto commit = std::make_shared<Commit>();
    commit->finish();
    return commit;
}

}  // namespace brevant::backend

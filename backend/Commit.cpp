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

bool Commit::thenOrDelayed(std::function<void()>&& call) {
    std::lock_guard lock(mutex_);
    if (done_ || delayed_)
        return false;
    settled_.push_back(std::move(call));
    return true;
}

bool Commit::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

bool Commit::kept() const {
    std::lock_guard lock(mutex_);
    return kept_;
}

bool Commit::delayed() const {
    std::lock_guard lock(mutex_);
    return delayed_;
}

bool Commit::wait(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_; });
}

bool Commit::waitSettled(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_ || delayed_; });
}

void Commit::finish(bool kept) {
    std::vector<std::function<void()>> then;
    {
        std::lock_guard lock(mutex_);
        if (done_)
            return;
        done_ = true;
        kept_ = kept;
        then.swap(then_);
        then.insert(then.end(), std::make_move_iterator(settled_.begin()),
                    std::make_move_iterator(settled_.end()));
        settled_.clear();
    }
    changed_.notify_all();
    for (const auto& call : then)
        call();
}

void Commit::delay() {
    std::vector<std::function<void()>> settled;
    {
        std::lock_guard lock(mutex_);
        if (done_ || delayed_)
            return;
        delayed_ = true;
        settled.swap(settled_);
    }
    changed_.notify_all();
    for (const auto& call : settled)
        call();
}

CommitRef committedAlready() {
    auto commit = std::make_shared<Commit>();
    commit->finish(true);
    return commit;
}

}  // namespace brevant::backend

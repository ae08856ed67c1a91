#pragma once
// A record list that keeps only its latest entries, so that a client repeating itself cannot
// make it grow without end.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

namespace brevant::backend {

template <class T>
class Records {
public:
    explicit Records(std::size_t max) : max_(max) {}

    // Adds `item`, dropping the oldest entry when `max` are kept already (0 keeps nothing).
    void add(T item) {
        if (max_ == 0)
            return;
        if (items_.size() >= max_)
            items_.pop_front();
        items_.push_back(std::move(item));
    }

    // Oldest first.
    std::vector<T> all() const { return {items_.begin(), items_.end()}; }

    // Whether a kept entry satisfies `predicate`.
    template <class Predicate>
    bool any(Predicate predicate) const {
        return std::any_of(items_.begin(), items_.end(), predicate);
    }

    // The latest entry that satisfies `predicate`, or nullptr.
    template <class Predicate>
    const T* findLast(Predicate predicate) const {
        const auto it = std::find_if(items_.rbegin(), items_.rend(), predicate);
        return it == items_.rend() ? nullptr : &*it;
    }

    template <class Predicate>
    void removeIf(Predicate predicate) {
        std::erase_if(items_, predicate);
    }

private:
    const std::size_t max_;
    std::deque<T> items_;
};

}  // namespace brevant::backend

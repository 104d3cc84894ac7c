#pragma once

#include <mutex>
#include <utility>

namespace quillmere {

// State that several queues touch, behind its own lock.
template <class T>
class LockedBox {
public:
    LockedBox() = default;
    explicit LockedBox(T value) : value_(std::move(value)) {}

    template <class F>
    decltype(auto) withLock(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }

    template <class F>
    decltype(auto) withLock(F&& f) const {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }

    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

    void set(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

    // Replaces the value and returns the old one.
    T exchange(T value) {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::move(value));
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

} // namespace quillmere

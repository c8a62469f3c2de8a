// A bounded first-in-first-out queue of references with a fixed capacity.
//
// enqueue() never waits for a consumer: it fails at once when the queue is full and the element
// stays with the caller. Count and capacity are answered at the moment of asking. Every member is
// thread-safe (one short internal lock, never held while calling out).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace orlenta {

template <typename T> class SimpleQueue {
public:
    // A capacity of zero makes a queue that is always full.
    explicit SimpleQueue(size_t capacity) : capacity_(capacity) {}
    SimpleQueue(const SimpleQueue&) = delete;
    SimpleQueue& operator=(const SimpleQueue&) = delete;

    size_t capacity() const { return capacity_; }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

    // Appends the element; false (and the element untouched) when the queue is full.
    bool enqueue(T&& element) {
        std::lock_guard lock(mutex_);
        if (items_.size() >= capacity_)
            return false;
        items_.push_back(std::move(element));
        return true;
    }
    bool enqueue(const T& element) {
        T copy = element;
        return enqueue(std::move(copy));
    }

    // Removes and returns the oldest element; absent when empty.
    std::optional<T> dequeue() {
        std::lock_guard lock(mutex_);
        if (items_.empty())
            return std::nullopt;
        T front = std::move(items_.front());
        items_.pop_front();
        return front;
    }

    void reset() {
        std::lock_guard lock(mutex_);
        items_.clear();
    }

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<T> items_;
};

} // namespace orlenta

// Observable<T, Owner>: a value owned by the main thread that the user interface watches.
//
// Only the main thread (the owner's executor thread) reads and writes it. Everyone may read and
// watch it; only Owner writes it (set() is private, Owner is its friend), so the owner's public
// members are the only way to change what the user interface shows. Every set() notifies the
// observers after the value is stored, also when the new value equals the old one: owners that
// want to suppress unchanged assignments compare before they set.
//
// Observers are called synchronously on the main thread in the order they were added; an
// observer must not add or remove observers of the same property from inside its call.
//
// Tests that stand in for the owner (to put a view in a given state) write through
// ObservableTesting, in observable_testing.h.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace orlenta {

class ObservableTesting;

template <typename T, typename Owner> class Observable {
public:
    using Observer = std::function<void(const T&)>;

    explicit Observable(T initial = T{}) : value_(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    // Returns a token for removeObserver().
    size_t addObserver(Observer observer) {
        observers_.push_back(std::move(observer));
        return observers_.size() - 1;
    }
    void removeObserver(size_t token) {
        if (token < observers_.size())
            observers_[token] = [](const T&) {};
    }

    // How many times set() has been called; lets tests see assignments of an unchanged value.
    size_t assignmentCount() const { return assignments_; }

private:
    friend Owner;
    friend class ObservableTesting;

    void set(T value) {
        value_ = std::move(value);
        ++assignments_;
        for (const Observer& observer : observers_)
            observer(value_);
    }

    T value_;
    std::vector<Observer> observers_;
    size_t assignments_ = 0;
};

} // namespace orlenta

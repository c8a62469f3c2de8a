// A TimerQueue whose clock moves only when the test says so. Work runs on the thread that calls
// runDue() / advance() / advanceTo(), in order of due time (submission order among equals).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "extension/timer_queue.h"

namespace orlenta::testing {

class ManualTimerQueue final : public TimerQueue {
public:
    void async(Task task) override { asyncAfter(0, std::move(task)); }

    void asyncAfter(double delaySeconds, Task task) override {
        std::lock_guard lock(mutex_);
        due_.emplace(Key{now_ + std::max(delaySeconds, 0.0), next_++}, std::move(task));
    }

    std::unique_ptr<Timer> startRepeatingTimer(double firstDelay, double interval,
                                               Task task) override {
        auto state = std::make_shared<Repeating>();
        state->task = std::move(task);
        state->interval = interval;
        double start = 0;
        {
            std::lock_guard lock(mutex_);
            start = now_ + std::max(firstDelay, 0.0);
            ++repeatingStarted_;
        }
        scheduleRun(state, start, 0);
        return std::make_unique<Handle>(state);
    }

    double now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }

    // Runs everything due at the current time (and what that makes due). Returns how many ran.
    size_t runDue() { return runUntil(now()); }
    // Moves the clock forward, running the work that falls due on the way at its own time.
    size_t advance(double seconds) { return runUntil(now() + seconds); }
    size_t advanceTo(double time) { return runUntil(time); }
    // Sets the clock without running anything (for checks at exact instants).
    void setNow(double time) {
        std::lock_guard lock(mutex_);
        now_ = time;
    }
    size_t pendingCount() const {
        std::lock_guard lock(mutex_);
        return due_.size();
    }
    int repeatingTimersStarted() const {
        std::lock_guard lock(mutex_);
        return repeatingStarted_;
    }

private:
    struct Key {
        double time;
        uint64_t order;
        bool operator<(const Key& other) const {
            return time < other.time || (time == other.time && order < other.order);
        }
    };
    struct Repeating {
        std::atomic<bool> valid{true};
        double interval = 0;
        Task task;
    };
    class Handle final : public Timer {
    public:
        explicit Handle(std::shared_ptr<Repeating> state) : state_(std::move(state)) {}
        ~Handle() override { invalidate(); }
        void invalidate() override { state_->valid = false; }
        bool isValid() const override { return state_->valid; }

    private:
        std::shared_ptr<Repeating> state_;
    };

    void scheduleRun(const std::shared_ptr<Repeating>& state, double start, uint64_t k) {
        const double at = start + static_cast<double>(k) * state->interval;
        std::lock_guard lock(mutex_);
        due_.emplace(Key{at, next_++}, [this, state, start, k] {
            if (!state->valid)
                return;
            state->task();
            if (state->valid)
                scheduleRun(state, start, k + 1);
        });
    }

    size_t runUntil(double limit) {
        size_t ran = 0;
        for (;;) {
            Task task;
            {
                std::lock_guard lock(mutex_);
                if (due_.empty() || limit < due_.begin()->first.time) {
                    now_ = std::max(now_, limit);
                    return ran;
                }
                auto first = due_.begin();
                now_ = std::max(now_, first->first.time);
                task = std::move(first->second);
                due_.erase(first);
            }
            task();
            ++ran;
        }
    }

    mutable std::mutex mutex_;
    double now_ = 0;
    uint64_t next_ = 0;
    int repeatingStarted_ = 0;
    std::multimap<Key, Task> due_;
};

} // namespace orlenta::testing

// A TimerQueue whose clock moves only when the test says so. Work runs on the thread that calls
// runDue() / advance() / advanceTo(), in order of due time (submission order among equals).
#pragma once

#include <algorithm>
#include <atomic>
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
        auto timer = std::make_unique<Repeating>();
        repeat(timer->valid, now() + std::max(firstDelay, 0.0), interval,
               std::make_shared<Task>(std::move(task)));
        return timer;
    }
    double now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }

    // Runs what is due by then, each at its own time, and leaves the clock there. Returns how
    // many ran.
    size_t advanceTo(double limit) {
        size_t ran = 0;
        for (;; ++ran) {
            Task task;
            {
                std::lock_guard lock(mutex_);
                if (due_.empty() || limit < due_.begin()->first.first) {
                    now_ = std::max(now_, limit);
                    return ran;
                }
                now_ = std::max(now_, due_.begin()->first.first);
                task = std::move(due_.begin()->second);
                due_.erase(due_.begin());
            }
            task();
        }
    }
    size_t runDue() { return advanceTo(now()); }
    size_t advance(double seconds) { return advanceTo(now() + seconds); }
    size_t pendingCount() const {
        std::lock_guard lock(mutex_);
        return due_.size();
    }

private:
    using Key = std::pair<double, uint64_t>; // due time, submission order
    using Flag = std::shared_ptr<std::atomic<bool>>;
    struct Repeating final : Timer {
        Flag valid = std::make_shared<std::atomic<bool>>(true);
        ~Repeating() override { *valid = false; }
        void invalidate() override { *valid = false; }
        bool isValid() const override { return *valid; }
    };

    void repeat(Flag valid, double at, double interval, std::shared_ptr<Task> task) {
        std::lock_guard lock(mutex_);
        due_.emplace(Key{at, next_++}, [=, this] {
            if (!*valid)
                return;
            (*task)();
            if (*valid)
                repeat(valid, at + interval, interval, task);
        });
    }

    mutable std::mutex mutex_;
    double now_ = 0;
    uint64_t next_ = 0;
    std::multimap<Key, Task> due_;
};

} // namespace orlenta::testing

// The daemon's timer queue: one serial queue that runs the placeholder timer's ticks and the
// delayed retries of failed sink requests, so those never overlap each other.
//
// TimerQueue is the seam that lets tests drive time by hand; SerialTimerQueue is the real one, a
// SerialQueue of its own on the monotonic clock.
#pragma once

#include <memory>
#include <string>

#include "media/dispatch.h"

namespace orlenta {

class TimerQueue {
public:
    virtual ~TimerQueue() = default;

    // Runs the task on the queue as soon as it can.
    virtual void async(Task task) = 0;
    // Runs the task on the queue no earlier than delaySeconds from now.
    virtual void asyncAfter(double delaySeconds, Task task) = 0;
    // A strict repeating timer: it runs the task due at start + firstDelay + k * interval for
    // k = 0, 1, 2, ... A run that falls due while the queue is busy runs as soon as the queue is
    // free; runs missed entirely are skipped, so the timer neither drifts nor bunches up.
    // Destroying the handle or invalidate() stops it; neither waits for a run in progress, which
    // finishes.
    virtual std::unique_ptr<Timer> startRepeatingTimer(double firstDelay, double interval,
                                                       Task task) = 0;
    // The queue's clock, in seconds.
    virtual double now() const = 0;
};

class SerialTimerQueue final : public TimerQueue {
public:
    explicit SerialTimerQueue(std::string label);
    // Runs the work already due and ends the queue's thread; runs not yet due are dropped.
    ~SerialTimerQueue() override;

    void async(Task task) override;
    void asyncAfter(double delaySeconds, Task task) override;
    std::unique_ptr<Timer> startRepeatingTimer(double firstDelay, double interval,
                                               Task task) override;
    // CLOCK_MONOTONIC in seconds.
    double now() const override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta

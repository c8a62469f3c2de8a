// Dispatch: serial work queues and the main-thread executor.
//
// SerialQueue runs closures one at a time, in submission order, on a thread of its own. It is
// what the video queue of the app and the timer queue of the daemon are made of.
//
// Executor is the "main thread" as the rest of the system sees it: the thread that owns the
// observable state. The app's executor is Qt's event loop (in app/ui), the daemon's and the
// command-line tool's is EventLoop below, tests drive ManualExecutor by hand. Any thread may post
// work to an executor; only the executor's own thread runs it. Timers belong to one executor and
// fire on its thread.
//
// The rule that keeps the two from deadlocking: a serial queue may wait for the main thread
// (Executor::sync), the main thread never waits for a serial queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orlenta {

using Task = std::function<void()>;

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs the closures already submitted (not those whose delay has not passed yet), then joins
    // the thread. Closures submitted while it is being destroyed are discarded. Destroyed from one
    // of its own closures, it cannot join itself: the thread then finishes the submitted closures
    // on its own and ends.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues the closure and returns at once.
    void async(Task task);
    // Queues the closure to run no earlier than delaySeconds from now (later than closures queued
    // plainly in the meantime, in order of their due time). A negative or NaN delay counts as 0.
    void asyncAfter(double delaySeconds, Task task);
    // Runs the closure on the queue and waits for it to finish. Called from the queue's own
    // thread it runs the closure in place, since waiting would never end. Returns without running
    // it when the queue discards it (the queue is being destroyed).
    void sync(const Task& task);

    // True when called from a closure running on this queue.
    bool isCurrent() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string label_;
};

// A timer made by an executor. Destroying the handle, or invalidate(), stops it; after either
// returns the timer's closure will not start again (one already running on the executor's thread
// finishes).
class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

class Executor {
public:
    virtual ~Executor() = default;

    // Queues the closure to run on the executor's thread; returns at once.
    virtual void post(Task task) = 0;
    // Runs the closure on the executor's thread and waits for it. Called on that thread, runs it in
    // place. Never call it from a place the executor's thread may be waiting on. If the executor
    // is destroyed before it serves the closure, the wait ends without it.
    virtual void sync(const Task& task) = 0;
    // A timer whose closure runs on the executor's thread, first after intervalSeconds, then (when
    // repeats) every intervalSeconds. The closure should hold only weak references to its owner.
    // A repeating timer stays on its cadence (due times are start + k * interval); when it falls
    // behind it fires once and skips the ticks it missed. A negative or NaN interval counts as 0;
    // a repeating one is at least 1 ms. A one-shot timer is no longer valid once it has fired.
    virtual std::unique_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats,
                                                 Task task) = 0;
    virtual bool isCurrent() const = 0;
    // True on the thread whose work the executor stands for, which the thread checks
    // (media/thread_check.h) ask for. By default the same as isCurrent(); an executor that is not
    // serving yet may also count the thread that set it up (EventLoop).
    virtual bool isMainThread() const { return isCurrent(); }
};

// An executor that runs on the thread that calls run(): a plain loop for the daemon and for the
// command-line tool. post() and sync() may be called before run() starts; they are then served
// once it does.
class EventLoop final : public Executor {
public:
    EventLoop();
    ~EventLoop() override;

    // Serves posted closures and timers until quit(); returns the value given to quit(). A quit()
    // before run() makes the next run() return at once; run() while the loop is already running
    // (a nested or second call) returns -1 at once.
    int run();
    // Makes run() return after the closure it is running. Safe from any thread.
    void quit(int exitCode = 0);

    void post(Task task) override;
    void sync(const Task& task) override;
    std::unique_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats, Task task) override;
    bool isCurrent() const override;
    // Inside run(), the thread running it; outside run(), the thread that made the loop, which
    // sets up what the loop will serve (and tears it down) before and after it runs.
    bool isMainThread() const override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// An executor for tests: nothing runs until the test calls runPending() or advance(). Its clock
// is virtual and starts at 0; timers fire only as advance() moves it. The thread that calls
// runPending() or advance() is its "main thread". sync() from another thread waits until the test
// thread runs the pending closures.
class ManualExecutor final : public Executor {
public:
    ManualExecutor();
    ~ManualExecutor() override;

    // Runs every closure posted so far (and those they post), in order. Returns how many ran.
    size_t runPending();
    // Moves the virtual clock forward, firing due timers in time order (and running posted
    // closures between them). The clock stands at each timer's due time while it fires. Negative,
    // NaN and infinite steps leave the clock where it is.
    void advance(double seconds);
    double now() const;
    size_t pendingCount() const;
    // Number of timers currently valid.
    size_t activeTimerCount() const;
    // Runs pending work until the predicate holds or the wall-clock timeout passes; true when it
    // holds. For tests whose work arrives from other threads.
    bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds = 5.0);

    void post(Task task) override;
    void sync(const Task& task) override;
    std::unique_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats, Task task) override;
    bool isCurrent() const override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta

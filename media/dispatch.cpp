#include "media/dispatch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <pthread.h>
#include <utility>
#include <vector>

namespace orlenta {

namespace {

// Longest single wait on a condition variable. Longer waits (up to an infinite due time) are done
// in steps, which keeps the duration conversions far from overflow.
constexpr double kMaxWaitSeconds = 3600;
// A repeating timer with a zero (or tiny) interval would otherwise keep its executor busy forever.
constexpr double kMinRepeatIntervalSeconds = 0.001;
// How often ManualExecutor::runUntil() re-checks a predicate that no post wakes it for.
constexpr double kRunUntilPollSeconds = 0.005;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double seconds) {
    seconds = std::clamp(seconds, 0.0, kMaxWaitSeconds);
    cv.wait_for(lock, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(seconds)));
}

// NaN and negative delays count as none.
double sanitizeDelay(double seconds) {
    return seconds > 0 ? seconds : 0;
}

// Completion of a sync(). The closure that carries the token signals once it has run, and also
// when it is destroyed without running (its queue or executor went away first), so a waiter can
// never hang on a closure that is gone.
class SyncSignal {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        done_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

class SyncToken {
public:
    explicit SyncToken(std::shared_ptr<SyncSignal> signal) : signal_(std::move(signal)) {}
    ~SyncToken() { signal_->signal(); }
    SyncToken(const SyncToken&) = delete;
    SyncToken& operator=(const SyncToken&) = delete;
    void signal() { signal_->signal(); }

private:
    std::shared_ptr<SyncSignal> signal_;
};

// Posts `task` through `post` and waits until it has run (or has been discarded). `task` is
// borrowed: it stays alive because the caller is blocked here.
template <typename Post> void postAndWait(const Task& task, Post&& post) {
    auto signal = std::make_shared<SyncSignal>();
    auto token = std::make_shared<SyncToken>(signal);
    post([&task, token] {
        task();
        token->signal();
    });
    token.reset();
    signal->wait();
}

// ---------------------------------------------------------------------------------------------
// Timers shared by EventLoop and ManualExecutor.

struct TimerEntry {
    TimerEntry(uint64_t sequence_, double interval_, bool repeats_, double due_, Task task_)
        : sequence(sequence_), interval(interval_), repeats(repeats_), due(due_),
          task(std::move(task_)) {}

    const uint64_t sequence; // creation order, to fire timers due at the same time in order
    const double interval;
    const bool repeats;
    double due;      // guarded by the executor's mutex
    const Task task; // called only on the executor's thread
    std::atomic<bool> valid{true};
};

using TimerList = std::vector<std::shared_ptr<TimerEntry>>;

double sanitizeInterval(double seconds, bool repeats) {
    seconds = sanitizeDelay(seconds);
    return repeats ? std::max(seconds, kMinRepeatIntervalSeconds) : seconds;
}

// The next due time of a repeating timer that fired for `due` when the clock read `now`: the
// first point of the timer's own grid (due + k * interval) after now. A timer that fell behind
// thus fires once late and is back on its cadence, without a burst for the ticks it missed.
double nextDue(double due, double interval, double now) {
    double next = due + interval;
    if (next <= now) {
        next = due + (std::floor((now - due) / interval) + 1) * interval;
        if (next <= now)
            next = now + interval;
    }
    return next;
}

// The valid timer that is due first (ties in creation order), or null.
std::shared_ptr<TimerEntry> earliestTimer(const TimerList& timers) {
    std::shared_ptr<TimerEntry> best;
    for (const auto& timer : timers) {
        if (!timer->valid.load())
            continue;
        if (!best || timer->due < best->due ||
            (timer->due == best->due && timer->sequence < best->sequence))
            best = timer;
    }
    return best;
}

// Takes the timer that fires now out of the schedule (one-shot) or moves it to its next due time
// (repeating). Called with the executor's mutex held.
void reschedule(TimerList& timers, const std::shared_ptr<TimerEntry>& timer, double now) {
    if (timer->repeats)
        timer->due = nextDue(timer->due, timer->interval, now);
    else
        std::erase(timers, timer);
}

// Runs the timer's closure unless it was invalidated. Checking validity is the moment the
// closure "starts": an invalidate() that wins the race keeps it from running at all.
void fire(TimerEntry& timer) {
    if (timer.repeats) {
        if (timer.valid.load())
            timer.task();
    } else if (timer.valid.exchange(false)) {
        timer.task();
    }
}

// Removes invalidated timers; returns them so the caller can drop them outside its lock (their
// closures' captures may run arbitrary destructors). Called with the executor's mutex held.
TimerList takeInvalidTimers(TimerList& timers) {
    TimerList removed;
    std::erase_if(timers, [&](const std::shared_ptr<TimerEntry>& timer) {
        if (timer->valid.load())
            return false;
        removed.push_back(timer);
        return true;
    });
    return removed;
}

class TimerHost {
public:
    virtual ~TimerHost() = default;
    // Called on any thread after a timer of this host was invalidated through its handle.
    virtual void timerInvalidated() = 0;
};

class TimerHandle final : public Timer {
public:
    TimerHandle(std::shared_ptr<TimerEntry> entry, std::weak_ptr<TimerHost> host)
        : entry_(std::move(entry)), host_(std::move(host)) {}
    ~TimerHandle() override { invalidate(); }

    void invalidate() override {
        if (!entry_->valid.exchange(false))
            return;
        if (std::shared_ptr<TimerHost> host = host_.lock())
            host->timerInvalidated();
    }
    bool isValid() const override { return entry_->valid.load(); }

private:
    std::shared_ptr<TimerEntry> entry_;
    std::weak_ptr<TimerHost> host_;
};

// The dispatch object whose closure the calling thread is running, for isCurrent().
thread_local const void* currentSerialQueue = nullptr;
thread_local const void* currentEventLoop = nullptr;

} // namespace

// ---------------------------------------------------------------------------------------------
// SerialQueue

namespace {

// What the worker thread shares with the queue object. The worker keeps its own reference, so a
// queue destroyed from one of its own closures (whose thread cannot be joined from itself) lets
// the worker finish its last closures on state that is still there.
struct SerialQueueCore {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> ready;
    // Due time (steady-clock seconds) to closure; closures due at the same time keep their order.
    std::multimap<double, Task> delayed;
    bool stopping = false;

    bool submit(Task& task) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return false;
            ready.push_back(std::move(task));
            wake.notify_one();
        }
        return true;
    }

    bool submitAfter(double delaySeconds, Task& task) {
        const double due = steadySeconds() + sanitizeDelay(delaySeconds);
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return false;
            delayed.emplace(due, std::move(task));
            wake.notify_one();
        }
        return true;
    }

    void work() {
        currentSerialQueue = this;
        std::unique_lock lock(mutex);
        for (;;) {
            const double now = steadySeconds();
            // Delayed closures join the plain ones when they become due, in due order.
            while (!delayed.empty() && delayed.begin()->first <= now) {
                ready.push_back(std::move(delayed.begin()->second));
                delayed.erase(delayed.begin());
            }
            if (!ready.empty()) {
                Task task = std::move(ready.front());
                ready.pop_front();
                lock.unlock();
                task();
                task = nullptr;
                lock.lock();
                continue;
            }
            if (stopping)
                break;
            if (delayed.empty())
                wake.wait(lock);
            else
                waitFor(wake, lock, delayed.begin()->first - now);
        }
        std::multimap<double, Task> dropped;
        dropped.swap(delayed);
        lock.unlock();
        currentSerialQueue = nullptr;
    }
};

} // namespace

struct SerialQueue::Impl {
    std::shared_ptr<SerialQueueCore> core = std::make_shared<SerialQueueCore>();
    std::thread thread;
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    impl_ = std::make_unique<Impl>();
    impl_->thread = std::thread([core = impl_->core, name = label_.substr(0, 15)] {
        // Thread names are limited to 15 bytes plus the terminator.
        pthread_setname_np(pthread_self(), name.c_str());
        core->work();
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(impl_->core->mutex);
        impl_->core->stopping = true;
    }
    impl_->core->wake.notify_all();
    if (impl_->thread.get_id() == std::this_thread::get_id())
        impl_->thread.detach();
    else
        impl_->thread.join();
}

void SerialQueue::async(Task task) {
    impl_->core->submit(task);
}

void SerialQueue::asyncAfter(double delaySeconds, Task task) {
    impl_->core->submitAfter(delaySeconds, task);
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    postAndWait(task, [this](Task wrapped) { impl_->core->submit(wrapped); });
}

bool SerialQueue::isCurrent() const {
    return currentSerialQueue == impl_->core.get();
}

// ---------------------------------------------------------------------------------------------
// EventLoop

struct EventLoop::Impl final : TimerHost {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> posted;
    TimerList timers;
    uint64_t nextTimerSequence = 0;
    bool running = false;
    bool quitRequested = false;
    int exitCode = 0;
    // The thread that made the loop: its main thread while run() is not serving.
    const std::thread::id maker = std::this_thread::get_id();

    void timerInvalidated() override {
        TimerList removed;
        {
            std::lock_guard lock(mutex);
            removed = takeInvalidTimers(timers);
            wake.notify_all();
        }
    }
};

EventLoop::EventLoop() : impl_(std::make_shared<Impl>()) {}

EventLoop::~EventLoop() {
    // Dropping unserved closures here releases any thread still waiting in sync().
    std::deque<Task> posted;
    TimerList timers;
    std::lock_guard lock(impl_->mutex);
    posted.swap(impl_->posted);
    timers.swap(impl_->timers);
}

int EventLoop::run() {
    Impl& d = *impl_;
    std::unique_lock lock(d.mutex);
    if (d.running)
        return -1;
    d.running = true;
    const void* outer = currentEventLoop;
    currentEventLoop = &d;
    while (!d.quitRequested) {
        const double now = steadySeconds();
        std::shared_ptr<TimerEntry> timer = earliestTimer(d.timers);
        if (timer && timer->due <= now) {
            reschedule(d.timers, timer, now);
            lock.unlock();
            fire(*timer);
            timer.reset();
            lock.lock();
            continue;
        }
        if (!d.posted.empty()) {
            Task task = std::move(d.posted.front());
            d.posted.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            continue;
        }
        if (timer)
            waitFor(d.wake, lock, timer->due - now);
        else
            d.wake.wait(lock);
    }
    d.quitRequested = false;
    d.running = false;
    currentEventLoop = outer;
    return d.exitCode;
}

void EventLoop::quit(int exitCode) {
    // Notified under the lock: run() may return, and its owner destroy the loop, the moment the
    // lock is released.
    std::lock_guard lock(impl_->mutex);
    impl_->quitRequested = true;
    impl_->exitCode = exitCode;
    impl_->wake.notify_all();
}

void EventLoop::post(Task task) {
    // Notified under the lock, as everywhere here: once the closure is visible this call touches
    // the loop no more, so the loop may be destroyed as soon as the closure has run.
    std::lock_guard lock(impl_->mutex);
    impl_->posted.push_back(std::move(task));
    impl_->wake.notify_all();
}

void EventLoop::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    postAndWait(task, [this](Task wrapped) { post(std::move(wrapped)); });
}

std::unique_ptr<Timer> EventLoop::scheduleTimer(double intervalSeconds, bool repeats, Task task) {
    const double interval = sanitizeInterval(intervalSeconds, repeats);
    std::shared_ptr<TimerEntry> entry;
    {
        std::lock_guard lock(impl_->mutex);
        entry = std::make_shared<TimerEntry>(impl_->nextTimerSequence++, interval, repeats,
                                             steadySeconds() + interval, std::move(task));
        impl_->timers.push_back(entry);
        impl_->wake.notify_all();
    }
    return std::make_unique<TimerHandle>(std::move(entry), std::weak_ptr<TimerHost>(impl_));
}

bool EventLoop::isCurrent() const {
    return currentEventLoop == impl_.get();
}

bool EventLoop::isMainThread() const {
    if (isCurrent())
        return true;
    std::lock_guard lock(impl_->mutex);
    return !impl_->running && impl_->maker == std::this_thread::get_id();
}

// ---------------------------------------------------------------------------------------------
// ManualExecutor

struct ManualExecutor::Impl final : TimerHost {
    mutable std::mutex mutex;
    std::condition_variable postedChanged;
    std::deque<Task> posted;
    TimerList timers;
    uint64_t nextTimerSequence = 0;
    double now = 0;
    std::atomic<std::thread::id> mainThread{std::this_thread::get_id()};

    void timerInvalidated() override {
        TimerList removed;
        std::lock_guard lock(mutex);
        removed = takeInvalidTimers(timers);
    }
};

ManualExecutor::ManualExecutor() : impl_(std::make_shared<Impl>()) {}

ManualExecutor::~ManualExecutor() {
    std::deque<Task> posted;
    TimerList timers;
    std::lock_guard lock(impl_->mutex);
    posted.swap(impl_->posted);
    timers.swap(impl_->timers);
}

size_t ManualExecutor::runPending() {
    impl_->mainThread = std::this_thread::get_id();
    size_t ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(impl_->mutex);
            if (impl_->posted.empty())
                return ran;
            task = std::move(impl_->posted.front());
            impl_->posted.pop_front();
        }
        task();
        ++ran;
    }
}

void ManualExecutor::advance(double seconds) {
    impl_->mainThread = std::this_thread::get_id();
    // Time only moves forward, and by a finite amount: an endless advance over a repeating timer
    // would never return.
    const double step = std::isfinite(seconds) ? sanitizeDelay(seconds) : 0;
    double target = 0;
    {
        std::lock_guard lock(impl_->mutex);
        target = impl_->now + step;
    }
    runPending();
    for (;;) {
        std::shared_ptr<TimerEntry> timer;
        {
            std::lock_guard lock(impl_->mutex);
            timer = earliestTimer(impl_->timers);
            if (!timer || timer->due > target)
                break;
            impl_->now = std::max(impl_->now, timer->due);
            reschedule(impl_->timers, timer, impl_->now);
        }
        fire(*timer);
        timer.reset();
        runPending();
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->now = std::max(impl_->now, target);
    }
    runPending();
}

double ManualExecutor::now() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->now;
}

size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->posted.size();
}

size_t ManualExecutor::activeTimerCount() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<size_t>(std::count_if(
        impl_->timers.begin(), impl_->timers.end(),
        [](const std::shared_ptr<TimerEntry>& timer) { return timer->valid.load(); }));
}

bool ManualExecutor::runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
    const double deadline = steadySeconds() + sanitizeDelay(timeoutSeconds);
    for (;;) {
        runPending();
        if (predicate())
            return true;
        const double remaining = deadline - steadySeconds();
        if (!(remaining > 0))
            return false;
        std::unique_lock lock(impl_->mutex);
        if (impl_->posted.empty())
            waitFor(impl_->postedChanged, lock, std::min(remaining, kRunUntilPollSeconds));
    }
}

void ManualExecutor::post(Task task) {
    std::lock_guard lock(impl_->mutex);
    impl_->posted.push_back(std::move(task));
    impl_->postedChanged.notify_all();
}

void ManualExecutor::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    postAndWait(task, [this](Task wrapped) { post(std::move(wrapped)); });
}

std::unique_ptr<Timer> ManualExecutor::scheduleTimer(double intervalSeconds, bool repeats,
                                                     Task task) {
    const double interval = sanitizeInterval(intervalSeconds, repeats);
    std::shared_ptr<TimerEntry> entry;
    {
        std::lock_guard lock(impl_->mutex);
        entry = std::make_shared<TimerEntry>(impl_->nextTimerSequence++, interval, repeats,
                                             impl_->now + interval, std::move(task));
        impl_->timers.push_back(entry);
    }
    return std::make_unique<TimerHandle>(std::move(entry), std::weak_ptr<TimerHost>(impl_));
}

bool ManualExecutor::isCurrent() const {
    return impl_->mainThread.load() == std::this_thread::get_id();
}

} // namespace orlenta

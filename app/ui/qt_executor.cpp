#include "app/ui/qt_executor.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace orlenta {

struct QtExecutor::Impl {
    std::mutex mutex;
    std::condition_variable served;
    bool alive = true;
    // Receives the queued closures; deleted (with its pending events) when the executor goes.
    QObject* context = nullptr;
    QThread* thread = nullptr;

    bool post(Task task) {
        std::lock_guard lock(mutex);
        if (!alive)
            return false;
        QMetaObject::invokeMethod(
            context, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
        return true;
    }
};

namespace {

// Shared between the handle and the closure the QTimer runs, so that either may go first.
struct TimerState {
    std::atomic<bool> valid{true};
    QPointer<QTimer> timer; // GUI thread only
};

class QtTimer final : public Timer {
public:
    QtTimer(std::shared_ptr<TimerState> state, std::weak_ptr<QtExecutor::Impl> executor)
        : state_(std::move(state)), executor_(std::move(executor)) {}
    ~QtTimer() override { invalidate(); }

    void invalidate() override {
        if (!state_->valid.exchange(false))
            return;
        auto executor = executor_.lock();
        if (!executor)
            return;
        // The QTimer belongs to the GUI thread: stop it there.
        executor->post([state = state_] {
            if (state->timer) {
                state->timer->stop();
                state->timer->deleteLater();
            }
        });
    }
    bool isValid() const override { return state_->valid.load(); }

private:
    std::shared_ptr<TimerState> state_;
    std::weak_ptr<QtExecutor::Impl> executor_;
};

int toMilliseconds(double seconds, bool repeats) {
    if (std::isnan(seconds) || seconds < 0)
        seconds = 0;
    double ms = std::round(seconds * 1000.0);
    if (ms > 2.0e9)
        ms = 2.0e9;
    int value = static_cast<int>(ms);
    return repeats && value < 1 ? 1 : value;
}

} // namespace

QtExecutor::QtExecutor() : impl_(std::make_shared<Impl>()) {
    impl_->context = new QObject();
    impl_->thread = QThread::currentThread();
}

QtExecutor::~QtExecutor() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->alive = false;
    }
    impl_->served.notify_all();
    delete impl_->context;
    impl_->context = nullptr;
}

void QtExecutor::post(Task task) {
    impl_->post(std::move(task));
}

void QtExecutor::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    // The closure runs on the GUI thread while this thread waits, so it may borrow `task`: the
    // wait only ends early when the executor is destroyed, and then the closure is dropped unrun.
    // The executor object itself may be gone by the time the wait ends: only this thread's own
    // hold on its state is used from here on.
    const std::shared_ptr<Impl> state = impl_;
    auto done = std::make_shared<bool>(false);
    std::weak_ptr<Impl> weak = state;
    bool queued = state->post([&task, done, weak] {
        task();
        if (auto impl = weak.lock()) {
            std::lock_guard lock(impl->mutex);
            *done = true;
            impl->served.notify_all();
        }
    });
    if (!queued)
        return;
    std::unique_lock lock(state->mutex);
    state->served.wait(lock, [&] { return *done || !state->alive; });
}

std::unique_ptr<Timer> QtExecutor::scheduleTimer(double intervalSeconds, bool repeats, Task task) {
    auto state = std::make_shared<TimerState>();
    int interval = toMilliseconds(intervalSeconds, repeats);
    std::weak_ptr<Impl> weak = impl_;
    auto make = [state, interval, repeats, weak, task = std::move(task)] {
        auto impl = weak.lock();
        if (!impl || !impl->context || !state->valid.load())
            return;
        // Parented to the executor's object, so a timer still running goes with the executor.
        auto* timer = new QTimer(impl->context);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(!repeats);
        timer->setInterval(interval);
        state->timer = timer;
        QObject::connect(timer, &QTimer::timeout, timer, [state, repeats, task, timer] {
            if (!state->valid.load())
                return;
            if (!repeats) {
                state->valid = false;
                timer->deleteLater();
            }
            task();
        });
        timer->start();
    };
    if (isCurrent())
        make();
    else
        impl_->post(std::move(make));
    return std::make_unique<QtTimer>(state, impl_);
}

bool QtExecutor::isCurrent() const {
    return QThread::currentThread() == impl_->thread;
}

} // namespace orlenta

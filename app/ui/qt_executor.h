// The app's main thread as the rest of the system sees it: an Executor over Qt's event loop.
//
// post() queues a closure as an event for a private object that lives on the thread that made
// the executor (the GUI thread); the event loop runs it. sync() from another thread posts and
// waits; its wait ends without the closure when the executor is destroyed first, so the video
// queue never hangs on a main thread that has gone away. Timers are QTimers on the GUI thread.
//
// Ownership: the app owns the executor; it must outlive everything that posts to it (the
// pipeline, the sink, the installer). Closures still queued when it is destroyed are dropped.
//
// Threads: create and destroy it on the GUI thread, after the QApplication exists. post(),
// sync() and isCurrent() may be called from any thread; scheduleTimer() from any thread too (the
// QTimer itself is made on the GUI thread).
#pragma once

#include <memory>

#include "media/dispatch.h"

namespace orlenta {

class QtExecutor final : public Executor {
public:
    QtExecutor();
    ~QtExecutor() override;
    QtExecutor(const QtExecutor&) = delete;
    QtExecutor& operator=(const QtExecutor&) = delete;

    void post(Task task) override;
    void sync(const Task& task) override;
    std::unique_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats, Task task) override;
    bool isCurrent() const override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta

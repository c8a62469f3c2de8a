#include "extension/timer_queue.h"

#include <atomic>
#include <cmath>
#include <utility>

#include "media/media_time.h"

namespace orlenta {

namespace {

struct RepeatingState {
    std::atomic<bool> valid{true};
    double start = 0;
    double interval = 0;
    Task task;
};

class RepeatingTimer final : public Timer {
public:
    explicit RepeatingTimer(std::shared_ptr<RepeatingState> state) : state_(std::move(state)) {}
    ~RepeatingTimer() override { invalidate(); }
    void invalidate() override { state_->valid = false; }
    bool isValid() const override { return state_->valid; }

private:
    std::shared_ptr<RepeatingState> state_;
};

} // namespace

// Closures hold the queue weakly. One of them may end up holding the last reference (when the
// owner lets go while a tick runs); SerialQueue then detaches its thread instead of joining it.
struct SerialTimerQueue::Impl : std::enable_shared_from_this<SerialTimerQueue::Impl> {
    explicit Impl(std::string label) : queue(std::move(label)) {}

    void schedule(const std::shared_ptr<RepeatingState>& state, double deadline) {
        const double delay = deadline - currentMediaTime();
        const std::weak_ptr<Impl> weak = weak_from_this();
        queue.asyncAfter(delay > 0 ? delay : 0, [weak, state] {
            if (!state->valid)
                return;
            state->task();
            const auto self = weak.lock();
            if (!self || !state->valid)
                return;
            // The next deadline on the grid that has not passed yet.
            const double elapsed = currentMediaTime() - state->start;
            const double next = std::floor(elapsed / state->interval) + 1;
            self->schedule(state, state->start + next * state->interval);
        });
    }

    SerialQueue queue;
};

SerialTimerQueue::SerialTimerQueue(std::string label)
    : impl_(std::make_shared<Impl>(std::move(label))) {}

SerialTimerQueue::~SerialTimerQueue() = default;

void SerialTimerQueue::async(Task task) {
    impl_->queue.async(std::move(task));
}

void SerialTimerQueue::asyncAfter(double delaySeconds, Task task) {
    impl_->queue.asyncAfter(delaySeconds, std::move(task));
}

std::unique_ptr<Timer> SerialTimerQueue::startRepeatingTimer(double firstDelay, double interval,
                                                             Task task) {
    auto state = std::make_shared<RepeatingState>();
    state->start = currentMediaTime() + (firstDelay > 0 ? firstDelay : 0);
    state->interval = interval > 0 ? interval : 1e-3;
    state->task = std::move(task);
    impl_->schedule(state, state->start);
    return std::make_unique<RepeatingTimer>(std::move(state));
}

double SerialTimerQueue::now() const {
    return currentMediaTime();
}

} // namespace orlenta

// Thread-affinity checks: a member whose contract names the thread it runs on states it again in
// code, at its top, with one of the macros below.
//
// With checks on, a call from another thread writes which member was called from where and which
// thread it expected to standard error, then aborts: a broken thread rule shows up at the call
// that breaks it, not later as a race. Checks are on in every build without NDEBUG and wherever
// ORLENTA_THREAD_CHECKS is defined non-zero (the sanitizer builds define it, so their test runs
// exercise the checks). With checks off the macros expand to nothing, their arguments are not
// evaluated, and the bindings below are empty classes: they cost nothing.
//
//   ORLENTA_ASSERT_ON_EXECUTOR(executor)  the executor's thread (Executor::isMainThread())
//   ORLENTA_ASSERT_BOUND(binding, what)   the thread of a ThreadBinding or a QueueBinding
#pragma once

#include <atomic>
#include <thread>

#ifndef ORLENTA_THREAD_CHECKS
#ifdef NDEBUG
#define ORLENTA_THREAD_CHECKS 0
#else
#define ORLENTA_THREAD_CHECKS 1
#endif
#endif

namespace orlenta {

class SerialQueue;

// Reports a call on the wrong thread and aborts. expected names the thread the call needed.
[[noreturn]] void threadCheckFailed(const char* expected, const char* function, const char* file,
                                    int line);

// Hold the bindings as [[no_unique_address]] members so that they take no room with checks off.

// The thread an object's members must all run on, for objects that learn it only by being called:
// the first check binds the calling thread, every later check must come from that same thread.
// Suits objects that their owner drives from one serial queue it does not name to them.
class ThreadBinding {
public:
#if ORLENTA_THREAD_CHECKS
    // True on the bound thread, and on the first call from any thread (which binds it).
    bool check() const {
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id bound{};
        return owner_.compare_exchange_strong(bound, self) || bound == self;
    }

private:
    mutable std::atomic<std::thread::id> owner_{};
#endif
};

// A serial queue that an object's members must run on, bound once when the owner makes the queue.
// It keeps its own pointer to the queue, which stays usable while the queue drains its last
// closures in its destructor (when the owner's std::unique_ptr to it already reads null).
class QueueBinding {
public:
#if ORLENTA_THREAD_CHECKS
    void bind(const SerialQueue& queue) {
        queue_ = &queue;
    }
    // True inside a closure of the bound queue; false when none is bound.
    bool check() const;

private:
    const SerialQueue* queue_ = nullptr;
#else
    void bind(const SerialQueue&) {}
#endif
};

} // namespace orlenta

#if ORLENTA_THREAD_CHECKS
#define ORLENTA_ASSERT_THREAD_(onThread, expected)                                                 \
    ((onThread) ? void(0) : ::orlenta::threadCheckFailed((expected), __func__, __FILE__, __LINE__))
#define ORLENTA_ASSERT_ON_EXECUTOR(executor)                                                       \
    ORLENTA_ASSERT_THREAD_((executor).isMainThread(), "the main thread (its executor)")
#define ORLENTA_ASSERT_BOUND(binding, what) ORLENTA_ASSERT_THREAD_((binding).check(), (what))
#else
#define ORLENTA_ASSERT_ON_EXECUTOR(executor) ((void)0)
#define ORLENTA_ASSERT_BOUND(binding, what) ((void)0)
#endif

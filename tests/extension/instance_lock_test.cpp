// The single-instance lock and the real timer queue.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "extension/instance_lock.h"
#include "extension/timer_queue.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

TEST(InstanceLock, OneHolderAtATimeInTheSessionsRuntimeDirectoryAndNoOddFiles) {
    const fs::path folder =
        fs::temp_directory_path() / ("orlenta-lock-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "folder.lock");
    ASSERT_EQ(::symlink((folder / "elsewhere").c_str(), (folder / "link.lock").c_str()), 0);
    const std::string path = (folder / "daemon.lock").string();
    InstanceLock::Outcome outcome = InstanceLock::Outcome::failed;
    std::string message;
    auto first = InstanceLock::acquire(path, &outcome, &message);
    ASSERT_TRUE(first) << message;
    EXPECT_EQ(outcome, InstanceLock::Outcome::acquired);

    // A second open file description conflicts like a second process would, and is told who.
    EXPECT_FALSE(InstanceLock::acquire(path, &outcome, &message));
    EXPECT_EQ(outcome, InstanceLock::Outcome::heldElsewhere);
    EXPECT_NE(message.find("already running"), std::string::npos) << message;
    EXPECT_NE(message.find(std::to_string(::getpid())), std::string::npos) << message;
    first.reset();
    EXPECT_TRUE(InstanceLock::acquire(path, &outcome, &message)) << "released with its holder";

    for (const char* odd : {"link.lock", "folder.lock", "missing/x.lock"}) {
        message.clear();
        EXPECT_FALSE(InstanceLock::acquire((folder / odd).string(), &outcome, &message)) << odd;
        EXPECT_EQ(outcome, InstanceLock::Outcome::failed) << odd;
        EXPECT_FALSE(message.empty()) << odd;
    }

    const char* set = std::getenv("XDG_RUNTIME_DIR");
    const std::optional<std::string> saved = set ? std::optional<std::string>(set) : std::nullopt;
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    EXPECT_EQ(InstanceLock::defaultPath(), (folder / "orlenta-camera-extension.lock").string());
    ::setenv("XDG_RUNTIME_DIR", (folder / "not-there").c_str(), 1);
    EXPECT_FALSE(InstanceLock::defaultPath());
    saved ? ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
    fs::remove_all(folder);
}

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

TEST(SerialTimerQueue, RepeatingTimersStartAtOnceAndStopWhenInvalidated) {
    SerialTimerQueue queue("test.timer");
    std::atomic<int> ticks{0};
    // The first run does not wait for the interval.
    auto slow = queue.startRepeatingTimer(0, 3600, [&] { ++ticks; });
    EXPECT_TRUE(eventually([&] { return ticks == 1; }));
    slow->invalidate();
    EXPECT_FALSE(slow->isValid());

    auto fast = queue.startRepeatingTimer(0, 0.005, [&] { ++ticks; });
    EXPECT_TRUE(eventually([&] { return ticks >= 5; }));
    fast.reset();
    std::atomic<bool> drained{false};
    queue.async([&] { drained = true; });
    ASSERT_TRUE(eventually([&] { return drained.load(); }));
    const int counted = ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ticks, counted) << "no run after the handle goes";

    // Delayed work never runs early.
    std::atomic<double> at{0};
    const double before = queue.now();
    queue.asyncAfter(0.03, [&] { at = queue.now(); });
    ASSERT_TRUE(eventually([&] { return at > 0; }));
    EXPECT_GE(at - before, 0.03);
}

} // namespace
} // namespace orlenta

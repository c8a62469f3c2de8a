// The single-instance lock and the real timer queue.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "extension/instance_lock.h"
#include "extension/timer_queue.h"

namespace orlenta {
namespace {

struct TemporaryDirectory {
    TemporaryDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orlenta-lock-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

TEST(InstanceLock, OnlyOneHolderAtATimeAndTheSecondIsToldWho) {
    TemporaryDirectory directory;
    const std::string path = directory.path + "/daemon.lock";
    InstanceLock::Outcome outcome = InstanceLock::Outcome::failed;
    std::string message;
    auto first = InstanceLock::acquire(path, &outcome, &message);
    ASSERT_TRUE(first) << message;
    EXPECT_EQ(outcome, InstanceLock::Outcome::acquired);

    // A second open file description conflicts like a second process would.
    auto second = InstanceLock::acquire(path, &outcome, &message);
    EXPECT_FALSE(second);
    EXPECT_EQ(outcome, InstanceLock::Outcome::heldElsewhere);
    EXPECT_NE(message.find("already running"), std::string::npos) << message;
    EXPECT_NE(message.find(std::to_string(::getpid())), std::string::npos) << message;

    first.reset();
    auto third = InstanceLock::acquire(path, &outcome, &message);
    EXPECT_TRUE(third) << "released with its holder";
}

TEST(InstanceLock, RefusesLinksAndOtherKindsOfFile) {
    TemporaryDirectory directory;
    InstanceLock::Outcome outcome = InstanceLock::Outcome::acquired;
    std::string message;
    const std::string link = directory.path + "/link.lock";
    ASSERT_EQ(::symlink((directory.path + "/elsewhere").c_str(), link.c_str()), 0);
    EXPECT_FALSE(InstanceLock::acquire(link, &outcome, &message));
    EXPECT_EQ(outcome, InstanceLock::Outcome::failed);
    EXPECT_FALSE(message.empty());

    const std::string folder = directory.path + "/folder.lock";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    EXPECT_FALSE(InstanceLock::acquire(folder, &outcome, &message));
    EXPECT_EQ(outcome, InstanceLock::Outcome::failed);

    EXPECT_FALSE(InstanceLock::acquire(directory.path + "/missing/x.lock", &outcome, &message));
    EXPECT_EQ(outcome, InstanceLock::Outcome::failed);
}

TEST(InstanceLock, LivesInTheSessionsRuntimeDirectory) {
    TemporaryDirectory directory;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", directory.path.c_str(), 1);
    EXPECT_EQ(InstanceLock::defaultPath(), directory.path + "/orlenta-camera-extension.lock");
    ::setenv("XDG_RUNTIME_DIR", (directory.path + "/not-there").c_str(), 1);
    EXPECT_FALSE(InstanceLock::defaultPath());
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(SerialTimerQueue, RepeatingTimerStartsAtOnceKeepsItsGridAndStops) {
    SerialTimerQueue queue("test.timer");
    std::atomic<int> ticks{0};
    std::atomic<double> first{0};
    const double start = queue.now();
    auto timer = queue.startRepeatingTimer(0, 0.02, [&] {
        if (ticks++ == 0)
            first = queue.now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(210));
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    const int counted = ticks;
    EXPECT_LT(first - start, 0.015) << "the first run comes at once";
    // 0, 20, ..., 200 ms: 11 runs; allow for a slow machine, never for bunching.
    EXPECT_GE(counted, 6);
    EXPECT_LE(counted, 12);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(ticks, counted) << "no run after invalidate()";

    std::atomic<bool> ran{false};
    const double before = queue.now();
    std::atomic<double> at{0};
    queue.asyncAfter(0.03, [&] {
        at = queue.now();
        ran = true;
    });
    for (int i = 0; i < 200 && !ran; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(ran);
    EXPECT_GE(at - before, 0.03);
}

} // namespace
} // namespace orlenta

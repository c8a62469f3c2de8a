// Test support for the real components: a private PipeWire session per test program, child
// processes that never outlive a test, and small helpers.
//
// The session is started by scripts/pipewire-session in a directory under the build tree and its
// environment is set in this process, so PipeWire clients made here and children spawned here use
// it. When it cannot be started (no PipeWire installed), tests skip with the reason.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace orlenta::testing {

class PipeWireSessionEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { restart(); }
    void TearDown() override { stop(); }

    // Empty while the session runs; otherwise why it does not.
    static const std::string& unavailableReason();
    static const std::string& directory();
    // Stops whatever is left of the session and starts it afresh; false if that fails.
    static bool restart();
    // Stops the session (PipeWire, its session manager and bus); false if that fails.
    static bool stop();
};

// In a TEST: skips when there is no session.
#define ORLENTA_REQUIRE_PIPEWIRE_SESSION()                                                         \
    do {                                                                                           \
        if (!::orlenta::testing::PipeWireSessionEnvironment::unavailableReason().empty())          \
            GTEST_SKIP() << ::orlenta::testing::PipeWireSessionEnvironment::unavailableReason();   \
    } while (0)

// A child process; stopped (TERM, then KILL) and reaped when the object goes.
class ChildProcess {
public:
    // Output (standard output and error together) goes to outputPath.
    ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath);
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number);
    // The exit status once it has exited within the timeout; -1 if still running, 128 + n when
    // killed by signal n.
    int waitForExit(double timeoutSeconds);
    // TERM, then KILL after a grace time; returns the exit status.
    int stop(double graceSeconds = 3);
    std::string output() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outputPath_;
};

// A fresh file in the session's directory for a child's output, named after the child.
std::string sessionLog(const std::string& name);

// Runs a shell command; its standard output, and its exit status in *status.
std::string runCommand(const std::string& command, int* status = nullptr);

// Seconds on the monotonic clock.
double monotonicSeconds();

// Waits until the predicate holds, polling every 10 ms; false after the timeout.
template <typename Predicate> bool waitUntil(Predicate predicate, double timeoutSeconds) {
    const double end = monotonicSeconds() + timeoutSeconds;
    while (!predicate()) {
        if (monotonicSeconds() > end)
            return false;
        ::usleep(10'000);
    }
    return true;
}

} // namespace orlenta::testing

// What the benchmarks share: their clock, percentiles, the baseline every result is compared
// with (one plain copy of a 1280 x 720 BGRA frame measured in the same run), a private PipeWire
// session for those that need one, and the daemon as a child process.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include <spawn.h>

extern char** environ;

namespace orlenta::bench {

using Clock = std::chrono::steady_clock;

inline double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The value at fraction p (0..1) of the sorted values, nearest rank; 0 for none.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(
        values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[index];
}

// The median time of one plain copy of a 1280 x 720 BGRA frame.
inline double baselineCopyMilliseconds() {
    std::vector<uint8_t> from(1280 * 720 * 4, 7);
    std::vector<uint8_t> to(from.size());
    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        std::memcpy(to.data(), from.data(), from.size());
        times.push_back(milliseconds(Clock::now() - start));
        // Feed the copy back so that it cannot be left out.
        from[static_cast<size_t>(i)] = to[static_cast<size_t>(i) + 1];
    }
    return percentile(times, 0.5);
}

// Stops the private PipeWire session that `script` (scripts/pipewire-session) runs in `directory`.
inline void stopPipeWireSession(const std::string& script, const std::string& directory) {
    std::system((script + " stop '" + directory + "' >/dev/null 2>&1").c_str());
}

// Starts a fresh private PipeWire session in `directory` and takes its environment (the
// "export NAME='value'" and "unset NAME" lines the script leaves in directory/env) into this
// process, so that PipeWire clients made from now on connect to it.
inline bool startPipeWireSession(const std::string& script, const std::string& directory) {
    stopPipeWireSession(script, directory);
    if (std::system((script + " start '" + directory + "' >/dev/null 2>&1").c_str()) != 0)
        return false;
    std::ifstream env(directory + "/env");
    std::string line;
    while (std::getline(env, line)) {
        if (line.rfind("unset ", 0) == 0) {
            ::unsetenv(line.substr(6).c_str());
        } else if (line.rfind("export ", 0) == 0) {
            const size_t equals = line.find('=');
            std::string value = line.substr(equals + 1);
            if (value.size() >= 2 && value.front() == '\'')
                value = value.substr(1, value.size() - 2);
            ::setenv(line.substr(7, equals - 7).c_str(), value.c_str(), 1);
        }
    }
    return true;
}

// A program run as a child process with this process's environment, its standard output and
// error into logPath; ended (TERM, then KILL after 3 s) and reaped when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::string& logPath) {
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (pid_ <= 0 || exited_)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // False once it has exited (it is then reaped).
    bool running() {
        if (pid_ > 0 && !exited_ && ::waitpid(pid_, nullptr, WNOHANG) == pid_)
            exited_ = true;
        return pid_ > 0 && !exited_;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

} // namespace orlenta::bench

#include "app/install/detached_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orlenta {

namespace {

bool readAll(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Only async-signal-safe calls from here on: the app has other threads. outputFd, when not -1,
// becomes standard output and error.
[[noreturn]] void execInChild(char* const* argv, bool searchPath, int errorPipe, bool newSession,
                              int outputFd) {
    if (newSession)
        ::setsid();
    if (outputFd >= 0) {
        ::dup2(outputFd, STDOUT_FILENO);
        ::dup2(outputFd, STDERR_FILENO);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int nullInput = ::open("/dev/null", O_RDONLY);
    if (nullInput >= 0) {
        ::dup2(nullInput, STDIN_FILENO);
        if (nullInput != STDIN_FILENO)
            ::close(nullInput);
    }
    // Sockets, memfds and pipes of the app must not stay open in the daemon for its lifetime.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (searchPath)
        ::execvp(argv[0], argv);
    else
        ::execv(argv[0], argv);
    const int code = errno;
    [[maybe_unused]] const ssize_t written = ::write(errorPipe, &code, sizeof code);
    ::_exit(127);
}

// What both ways of starting a program prepare before fork(): the argument vector, and two
// close-on-exec pipes: one of the caller's (`channel`) and one on which the child reports a failed
// exec (end of file means the program runs).
struct Launch {
    std::vector<std::string> copies;
    std::vector<char*> argv;
    bool searchPath = false;
    int channel[2] = {-1, -1};
    int errors[2] = {-1, -1};

    bool prepare(const std::vector<std::string>& arguments, std::string* error) {
        if (arguments.empty() || arguments[0].empty())
            return fail("no program given", error);
        copies = arguments;
        for (std::string& argument : copies)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        searchPath = arguments[0].find('/') == std::string::npos;
        if (::pipe2(channel, O_CLOEXEC) != 0)
            return fail(std::string("cannot make a pipe: ") + std::strerror(errno), error);
        if (::pipe2(errors, O_CLOEXEC) != 0) {
            const int code = errno;
            ::close(channel[0]);
            ::close(channel[1]);
            return fail(std::string("cannot make a pipe: ") + std::strerror(code), error);
        }
        return true;
    }

    // fork(); in the child the parent's read ends are closed, so the child returns 0 holding
    // only its own ends.
    pid_t fork() {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(channel[0]);
            ::close(errors[0]);
        }
        return child;
    }

    // In the parent after fork(): closes the child's ends, and the parent's too when the fork
    // failed.
    bool forked(pid_t child, std::string* error) {
        const int forkError = errno;
        ::close(channel[1]);
        ::close(errors[1]);
        if (child >= 0)
            return true;
        ::close(channel[0]);
        ::close(errors[0]);
        return fail(std::string("cannot start a process: ") + std::strerror(forkError), error);
    }

    // The exec's errno, read from the error pipe (which it closes); 0 when the program runs.
    int execError() {
        int code = 0;
        if (!readAll(errors[0], &code, sizeof code))
            code = 0;
        ::close(errors[0]);
        return code;
    }

    static bool fail(std::string text, std::string* error) {
        if (error)
            *error = std::move(text);
        return false;
    }
};

} // namespace

std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments, std::string* error) {
    Launch launch;
    if (!launch.prepare(arguments, error))
        return std::nullopt;
    const pid_t child = launch.fork();
    if (child == 0) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::close(launch.channel[1]);
            execInChild(launch.argv.data(), launch.searchPath, launch.errors[1], true, -1);
        }
        [[maybe_unused]] const ssize_t written =
            ::write(launch.channel[1], &grandchild, sizeof grandchild);
        ::_exit(grandchild > 0 ? 0 : 1);
    }
    if (!launch.forked(child, error))
        return std::nullopt;

    pid_t grandchild = -1;
    const bool havePid = readAll(launch.channel[0], &grandchild, sizeof grandchild);
    ::close(launch.channel[0]);
    const int execError = launch.execError();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    if (!havePid || grandchild <= 0) {
        Launch::fail("cannot start a process", error);
        return std::nullopt;
    }
    if (execError != 0) {
        Launch::fail("cannot run " + arguments[0] + ": " + std::strerror(execError), error);
        return std::nullopt;
    }
    return grandchild;
}

std::optional<int> runProgram(const std::vector<std::string>& arguments, std::string* output,
                              std::string* error, const std::atomic<bool>* cancel) {
    Launch launch;
    if (!launch.prepare(arguments, error))
        return std::nullopt;
    const pid_t child = launch.fork();
    if (child == 0) {
        execInChild(launch.argv.data(), launch.searchPath, launch.errors[1], false,
                    launch.channel[1]);
    }
    if (!launch.forked(child, error))
        return std::nullopt;
    const int execError = launch.execError();

    // The output until the program closes it, looking every 50 ms whether to give up.
    std::string collected;
    bool cancelled = false;
    for (;;) {
        if (cancel && *cancel) {
            cancelled = true;
            break;
        }
        pollfd readable{launch.channel[0], POLLIN, 0};
        const int ready = ::poll(&readable, 1, 50);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::read(launch.channel[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        collected.append(chunk, static_cast<size_t>(n));
    }
    ::close(launch.channel[0]);
    if (cancelled) {
        // Asked to end, then ended for good after a second; reaped either way.
        ::kill(child, SIGTERM);
        for (int waited = 0; ::waitpid(child, nullptr, WNOHANG) == 0; ++waited) {
            if (waited == 20) {
                ::kill(child, SIGKILL);
                while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            ::usleep(50'000);
        }
        Launch::fail("cancelled", error);
        return std::nullopt;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (execError != 0) {
        Launch::fail("cannot run " + arguments[0] + ": " + std::strerror(execError), error);
        return std::nullopt;
    }
    if (output)
        *output = std::move(collected);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::optional<std::string> findOnPath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos)
        return std::nullopt;
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace orlenta

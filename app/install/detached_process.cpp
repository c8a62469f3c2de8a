#include "app/install/detached_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// Only async-signal-safe calls from here on: the app has other threads.
[[noreturn]] void runGrandchild(char* const* argv, bool searchPath, int errorPipe) {
    ::setsid();
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

} // namespace

std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments, std::string* error) {
    auto fail = [error](std::string text) -> std::optional<pid_t> {
        if (error)
            *error = std::move(text);
        return std::nullopt;
    };
    if (arguments.empty() || arguments[0].empty())
        return fail("no program given");

    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const bool searchPath = arguments[0].find('/') == std::string::npos;

    int pidPipe[2];
    int errorPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0)
        return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        const int code = errno;
        ::close(pidPipe[0]);
        ::close(pidPipe[1]);
        return fail(std::string("cannot make a pipe: ") + std::strerror(code));
    }

    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pidPipe[0]);
        ::close(errorPipe[0]);
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::close(pidPipe[1]);
            runGrandchild(argv.data(), searchPath, errorPipe[1]);
        }
        [[maybe_unused]] const ssize_t written =
            ::write(pidPipe[1], &grandchild, sizeof grandchild);
        ::_exit(grandchild > 0 ? 0 : 1);
    }
    const int forkError = errno;
    ::close(pidPipe[1]);
    ::close(errorPipe[1]);
    if (child < 0) {
        ::close(pidPipe[0]);
        ::close(errorPipe[0]);
        return fail(std::string("cannot start a process: ") + std::strerror(forkError));
    }

    pid_t grandchild = -1;
    const bool havePid = readAll(pidPipe[0], &grandchild, sizeof grandchild);
    ::close(pidPipe[0]);
    int execError = 0;
    // End of file here means the program was executed.
    const bool execFailed = readAll(errorPipe[0], &execError, sizeof execError);
    ::close(errorPipe[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    if (!havePid || grandchild <= 0)
        return fail("cannot start a process");
    if (execFailed)
        return fail("cannot run " + arguments[0] + ": " + std::strerror(execError));
    return grandchild;
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

#include "tests/testing/pipewire_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>

#include <spawn.h>

extern char** environ;

namespace orlenta::testing {

namespace {

std::string reason = "the PipeWire session was not started";

// The session script on the fixed directory (ctest runs these tests one at a time, and its
// clean-up step stops a session that a crashed test left behind).
std::string session(const std::string& verb, int* status = nullptr) {
    return runCommand(std::string(ORLENTA_SOURCE_DIR) + "/scripts/pipewire-session " + verb + " '" +
                          PipeWireSessionEnvironment::directory() + "' 2>&1",
                      status);
}

// Sets the variables of the session's env file ("export K='V'" and "unset K" lines).
bool applyEnvironment(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const size_t equals = line.find('=');
        if (line.starts_with("unset ")) {
            ::unsetenv(line.substr(6).c_str());
        } else if (line.starts_with("export ") && equals != std::string::npos) {
            std::string value = line.substr(equals + 1);
            if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
                value = value.substr(1, value.size() - 2);
            ::setenv(line.substr(7, equals - 7).c_str(), value.c_str(), 1);
        }
    }
    return static_cast<bool>(file.eof());
}

} // namespace

bool PipeWireSessionEnvironment::restart() {
    session("stop");
    int status = 0;
    const std::string output = session("start", &status);
    if (status != 0)
        reason = "no private PipeWire session: " + output;
    else if (!applyEnvironment(directory() + "/env"))
        reason = "the PipeWire session wrote no environment";
    else
        reason.clear();
    return reason.empty();
}

bool PipeWireSessionEnvironment::stop() {
    int status = 0;
    session("stop", &status);
    return status == 0;
}

std::string sessionLog(const std::string& name) {
    static int count = 0;
    return PipeWireSessionEnvironment::directory() + "/" + name + "-" + std::to_string(++count) +
           ".log";
}

const std::string& PipeWireSessionEnvironment::unavailableReason() {
    return reason;
}

const std::string& PipeWireSessionEnvironment::directory() {
    static const std::string directory =
        std::string(ORLENTA_BINARY_DIR) + "/pipewire-session/integration";
    return directory;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath)
    : outputPath_(outputPath) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // Children start with no signals blocked, whatever this thread has blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    // A bare program name is looked up on PATH.
    if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

void ChildProcess::signal(int number) {
    if (pid_ > 0 && status_ < 0)
        ::kill(pid_, number);
}

int ChildProcess::waitForExit(double timeoutSeconds) {
    if (pid_ <= 0 || status_ >= 0)
        return status_;
    int raw = 0;
    pid_t done = 0;
    if (!waitUntil([&] { return (done = ::waitpid(pid_, &raw, WNOHANG)) != 0; }, timeoutSeconds))
        return -1;
    return status_ = done < 0 ? 255 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

int ChildProcess::stop(double graceSeconds) {
    if (pid_ <= 0 || status_ >= 0)
        return status_;
    ::kill(pid_, SIGTERM);
    if (waitForExit(graceSeconds) >= 0)
        return status_;
    ::kill(pid_, SIGKILL);
    return waitForExit(10);
}

std::string ChildProcess::output() const {
    std::stringstream text;
    text << std::ifstream(outputPath_).rdbuf();
    return text.str();
}

std::string runCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    char chunk[4096];
    for (size_t n = 0; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
    const int raw = pipe ? ::pclose(pipe) : -1;
    if (status)
        *status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

// steady_clock is CLOCK_MONOTONIC, the clock other processes' times are compared on.
double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace orlenta::testing

#include "app/install/service_support.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace orlenta::install_support {

namespace {

std::optional<std::string> readLink(const std::string& path) {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size())
        return std::nullopt;
    buffer.resize(static_cast<size_t>(length));
    return buffer;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool processExists(pid_t pid) {
    if (::kill(pid, 0) == 0)
        return true;
    return errno == EPERM;
}

// A zombie has exited; it only waits for its parent.
bool isZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() &&
           (line[close + 2] == 'Z' || line[close + 2] == 'X');
}

} // namespace

std::optional<std::string> ownProgramFolder() {
    const std::optional<std::string> self = readLink("/proc/self/exe");
    if (!self)
        return std::nullopt;
    const size_t slash = self->rfind('/');
    if (slash == std::string::npos)
        return std::nullopt;
    return self->substr(0, slash == 0 ? 1 : slash);
}

std::optional<std::string> daemonProgramPath(const ExtensionServiceOptions& options) {
    if (!options.programPath.empty())
        return options.programPath;
    const std::optional<std::string> folder = ownProgramFolder();
    if (!folder)
        return std::nullopt;
    return *folder + "/" + std::string(kExtensionProgramName);
}

std::optional<ExtensionError> checkDaemonProgram(const std::optional<std::string>& path) {
    if (!path)
        return ExtensionError{kExtensionErrorWrongLocation,
                              "the folder of the app is unknown, so " +
                                  std::string(kExtensionProgramName) + " cannot be found"};
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(path->c_str(), X_OK) != 0)
        return ExtensionError{kExtensionErrorWrongLocation,
                              "the camera program " + *path + " is missing or cannot be run"};
    return std::nullopt;
}

std::optional<std::string> runtimeDirectory() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (value && value[0] == '/')
        return std::string(value);
    const std::string fallback = "/run/user/" + std::to_string(::getuid());
    struct stat info {};
    if (::stat(fallback.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return fallback;
    return std::nullopt;
}

std::optional<std::string> processProgram(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    std::optional<std::string> program = readLink("/proc/" + std::to_string(pid) + "/exe");
    if (!program)
        return std::nullopt;
    constexpr std::string_view deleted = " (deleted)";
    if (program->size() > deleted.size() && program->ends_with(deleted))
        program->resize(program->size() - deleted.size());
    return program;
}

bool isDaemonProcess(pid_t pid) {
    const std::optional<std::string> program = processProgram(pid);
    return program && baseName(*program) == kExtensionProgramName && !isZombie(pid);
}

std::optional<bool> holdsLock(pid_t pid, const std::string& lockFile) {
    struct stat info {};
    if (::stat(lockFile.c_str(), &info) != 0)
        return false;
    std::ifstream locks("/proc/locks");
    if (!locks)
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 29019 fe:00:10952804 0 EOF"; waiters read "1: -> FLOCK ...".
    const std::string inodeSuffix = ":" + std::to_string(info.st_ino);
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, holder, file;
        if (!(fields >> number >> kind >> mode >> access >> holder >> file))
            continue;
        if (kind == "FLOCK" && access == "WRITE" && holder == std::to_string(pid) &&
            file.ends_with(inodeSuffix))
            return true;
    }
    return false;
}

std::optional<pid_t> readPidFile(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line))
        return std::nullopt;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    if (line.empty() || line.size() > 10)
        return std::nullopt;
    long value = 0;
    for (char c : line) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value <= 0 || value > INT_MAX)
        return std::nullopt;
    return static_cast<pid_t>(value);
}

bool writePidFile(const std::string& path, pid_t pid, std::string* error) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = std::to_string(pid) + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = written ? errno : writeError;
        ::unlink(temporary.c_str());
        if (error)
            *error = "cannot write " + path + ": " + std::strerror(code);
        return false;
    }
    return true;
}

bool stopProcess(pid_t pid, double graceSeconds, std::string* error) {
    auto gone = [pid] { return !processExists(pid) || isZombie(pid); };
    if (gone())
        return true;
    if (::kill(pid, SIGTERM) != 0 && errno != ESRCH) {
        if (error)
            *error = "cannot stop process " + std::to_string(pid) + ": " + std::strerror(errno);
        return false;
    }
    const double end = monotonicNow() + graceSeconds;
    while (!gone() && monotonicNow() < end)
        sleepSeconds(0.02);
    if (gone())
        return true;
    ::kill(pid, SIGKILL);
    const double killEnd = monotonicNow() + 2.0;
    while (!gone() && monotonicNow() < killEnd)
        sleepSeconds(0.02);
    if (gone())
        return true;
    if (error)
        *error = "process " + std::to_string(pid) + " does not end";
    return false;
}

void postFinish(const std::shared_ptr<ExtensionRequest>& request, int result) {
    request->executor().post([request, result] {
        if (auto delegate = request->delegate())
            delegate->requestDidFinish(*request, result);
    });
}

void postFail(const std::shared_ptr<ExtensionRequest>& request, ExtensionError error) {
    request->executor().post([request, error = std::move(error)] {
        if (auto delegate = request->delegate())
            delegate->requestDidFail(*request, error);
    });
}

void postProperties(const std::shared_ptr<ExtensionRequest>& request,
                    std::vector<ExtensionProperties> properties) {
    request->executor().post([request, properties = std::move(properties)] {
        if (auto delegate = request->delegate())
            delegate->requestFoundProperties(*request, properties);
    });
}

ExtensionReplacementAction askReplacement(const std::shared_ptr<ExtensionRequest>& request,
                                          const ExtensionProperties& existing,
                                          const ExtensionProperties& replacement) {
    auto action = std::make_shared<ExtensionReplacementAction>(ExtensionReplacementAction::cancel);
    request->executor().sync([&request, &existing, &replacement, action] {
        if (auto delegate = request->delegate())
            *action = delegate->actionForReplacing(*request, existing, replacement);
    });
    return *action;
}

double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

} // namespace orlenta::install_support

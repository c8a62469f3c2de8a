#include "app/install/service_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/install/unit_template.h"

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
                              "the app's own folder is unknown (no /proc/self/exe), so " +
                                  std::string(kExtensionProgramName) + " cannot be found"};
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(path->c_str(), X_OK) != 0) {
        const size_t slash = path->rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path->substr(0, slash);
        return ExtensionError{kExtensionErrorWrongLocation,
                              "the virtual camera's program " + baseName(*path) +
                                  " is missing from " + (folder.empty() ? "/" : folder) +
                                  " or cannot be run"};
    }
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

bool writeFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                         std::string* error) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        if (error)
            *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = written ? errno : writeError;
        ::unlink(temporary.c_str());
        if (error)
            *error = "cannot write " + path + ": " + std::strerror(code);
        return false;
    }
    return true;
}

bool writePidFile(const std::string& path, pid_t pid, std::string* error) {
    return writeFileAtomically(path, std::to_string(pid) + "\n", 0600, error);
}

namespace {
constexpr std::string_view kWrittenUnitMarker =
    "# Written by Orlenta Camera for the daemon beside the app; Install writes it again.\n";
}

std::string unitFileText(const std::string& program) {
    // ExecStart takes a double-quoted word: backslash and quote are escaped, and % (a unit
    // specifier) is doubled.
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string text(kWrittenUnitMarker);
    text += kUnitTemplate;
    const std::string placeholder = kUnitProgramPlaceholder;
    const size_t at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, placeholder.size(), quoted);
    return text;
}

bool isWrittenUnitFile(const std::string& text) {
    return text.starts_with(kWrittenUnitMarker);
}

std::optional<std::string> userUnitDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return std::string(config) + "/systemd/user";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.config/systemd/user";
    return std::nullopt;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
        return std::nullopt;
    return text.str();
}

std::string canonicalPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    const std::string absolute = resolved ? resolved : path;
    std::free(resolved);
    return absolute;
}

bool stopProcess(pid_t pid, double graceSeconds, std::string* error,
                 const std::atomic<bool>* cancel) {
    auto gone = [pid] { return !processExists(pid) || isZombie(pid); };
    auto cancelled = [cancel, error] {
        if (!cancel || !cancel->load())
            return false;
        if (error)
            *error = "stopping was cancelled";
        return true;
    };
    if (gone())
        return true;
    if (::kill(pid, SIGTERM) != 0 && errno != ESRCH) {
        if (error)
            *error = "cannot stop process " + std::to_string(pid) + ": " + std::strerror(errno);
        return false;
    }
    const double end = monotonicNow() + graceSeconds;
    while (!gone() && monotonicNow() < end) {
        if (cancelled())
            return false;
        sleepSeconds(0.02);
    }
    if (gone())
        return true;
    ::kill(pid, SIGKILL);
    const double killEnd = monotonicNow() + 2.0;
    while (!gone() && monotonicNow() < killEnd) {
        if (cancelled())
            return false;
        sleepSeconds(0.02);
    }
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
                                          const ExtensionProperties& replacement,
                                          const std::atomic<bool>& stopping) {
    // Not Executor::sync: that wait ends only when the main thread answers or its executor goes,
    // and a main thread that is destroying the service waits for this very thread.
    struct Answer {
        std::mutex mutex;
        std::condition_variable given;
        bool done = false;
        ExtensionReplacementAction action = ExtensionReplacementAction::cancel;
    };
    auto answer = std::make_shared<Answer>();
    request->executor().post([request, existing, replacement, answer] {
        ExtensionReplacementAction action = ExtensionReplacementAction::cancel;
        if (auto delegate = request->delegate())
            action = delegate->actionForReplacing(*request, existing, replacement);
        std::lock_guard lock(answer->mutex);
        answer->action = action;
        answer->done = true;
        answer->given.notify_all();
    });
    std::unique_lock lock(answer->mutex);
    while (!answer->done) {
        if (stopping)
            return ExtensionReplacementAction::cancel;
        answer->given.wait_for(lock, std::chrono::milliseconds(20));
    }
    return answer->action;
}

double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

bool sleepUnlessStopping(double seconds, const std::atomic<bool>& stopping) {
    const double end = monotonicNow() + seconds;
    while (!stopping) {
        const double left = end - monotonicNow();
        if (left <= 0)
            return true;
        sleepSeconds(std::min(left, 0.02));
    }
    return false;
}

} // namespace orlenta::install_support

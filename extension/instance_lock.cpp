#include "extension/instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "camera_service/virtual_camera.h"

namespace orlenta {

namespace {

std::string readHolder(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return {};
    std::string holder(text, static_cast<size_t>(n));
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
        holder.pop_back();
    if (holder.empty() || holder.find_first_not_of("0123456789") != std::string::npos)
        return {};
    return holder;
}

} // namespace

std::optional<std::string> InstanceLock::defaultPath() {
    return virtual_camera::lockFilePath();
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::string& path, Outcome* outcome,
                                                    std::string* message) {
    const auto fail = [&](Outcome what, std::string text) -> std::unique_ptr<InstanceLock> {
        if (outcome)
            *outcome = what;
        if (message)
            *message = std::move(text);
        return nullptr;
    };
    // No symbolic links, and only a regular file of our own: someone else's file must not decide
    // whether we run.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail(Outcome::failed,
                    "cannot open the lock file " + path + ": " + std::strerror(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::getuid()) {
        ::close(fd);
        return fail(Outcome::failed, "the lock file " + path + " is not a file of this user");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            const std::string holder = readHolder(fd);
            ::close(fd);
            return fail(Outcome::heldElsewhere,
                        "another orlenta-camera-extension" +
                            (holder.empty() ? std::string() : " (process " + holder + ")") +
                            " is already running in this session; this one exits");
        }
        ::close(fd);
        return fail(Outcome::failed, "cannot lock " + path + ": " + std::strerror(error));
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same; only the message of a second instance is poorer.
    }
    if (outcome)
        *outcome = Outcome::acquired;
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
    ::close(fd_);
}

} // namespace orlenta

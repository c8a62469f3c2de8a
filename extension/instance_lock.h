// One daemon per user session: an exclusive lock on a file in the session's runtime directory
// (XDG_RUNTIME_DIR). Two daemons publishing the same camera would confuse every client that
// looks for it, so a second one must not start.
//
// The lock is an advisory flock(): the kernel drops it when the holder exits, however it exits,
// so a killed daemon never blocks the next one. The file holds the holder's process id, for
// messages.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace orlenta {

class InstanceLock {
public:
    enum class Outcome { acquired, heldElsewhere, failed };

    // Takes the lock on path. On failure answers null, the outcome, and a message that says what
    // is wrong (naming the other holder's process id when it is known).
    static std::unique_ptr<InstanceLock> acquire(const std::string& path, Outcome* outcome,
                                                 std::string* message);
    // The lock file's usual place, where the app looks for a running daemon too
    // (virtual_camera::lockFilePath(): $XDG_RUNTIME_DIR/orlenta-camera-extension.lock, else
    // /run/user/<uid>/...); absent when that directory is not this user's.
    static std::optional<std::string> defaultPath();

    // Releases the lock.
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

} // namespace orlenta

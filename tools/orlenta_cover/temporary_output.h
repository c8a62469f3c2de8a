// TemporaryOutput: a file that becomes the user's output only once it is complete.
//
// create() makes an empty hidden file in the target's directory whose name ends with the
// target's extension (so that encoders that choose a container by name pick the right one).
// Whatever is written goes there; commit() makes it durable and renames it over the target in
// one step. Destroying a TemporaryOutput that was not committed removes the file, so a failed
// run leaves neither a half-written output nor a stray temporary file.
//
// The temporary file is locked (flock) while it is in use. create() also removes, from the same
// folder, files named like its own that are at least ten seconds old and that no process holds
// locked: what a run killed outright (SIGKILL, a power cut) left behind.
//
// The committed file gets the mode of the file it replaces, or the usual mode of a new file
// (0666 less the umask).
//
// Not thread-safe; one owner.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace orlenta {

class TemporaryOutput {
public:
    // Absent, with a one-line reason in *error, when the file cannot be made (no such directory,
    // no permission, the target is a directory, ...).
    static std::unique_ptr<TemporaryOutput> create(const std::filesystem::path& target,
                                                   std::string* error);
    ~TemporaryOutput();
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& target() const { return target_; }
    // The open file (read and write), valid until commit() or destruction.
    int fd() const { return fd_; }

    // Flushes the file to disk and renames it over the target. False, with a reason, when that
    // fails; the temporary file is then still removed at destruction.
    bool commit(std::string* error);
    // Removes the file now (also what destruction does when not committed).
    void discard();

private:
    TemporaryOutput(std::filesystem::path target, std::filesystem::path path, int fd);

    std::filesystem::path target_;
    std::filesystem::path path_;
    int fd_;
    bool done_ = false;
};

// The reason for the last failing system call (errno) as text, e.g. "Permission denied".
std::string systemError(int errorNumber);

} // namespace orlenta

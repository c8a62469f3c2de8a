#include "tools/orlenta_cover/temporary_output.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orlenta {

namespace {

// The process's umask, read without changing it (umask(2) can only be read by setting it, which
// would race with other threads creating files).
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Umask:"))
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
    return 022;
}

// How old a temporary file must be before another run may take it for a killed run's leftover:
// a live run locks its file at once, the age only closes the moment between making and locking.
constexpr auto kLeftoverAge = std::chrono::seconds(10);

// Removes the temporary files of runs that were killed before they could (a SIGKILL, a power
// cut) from the folder: files named like ours that no living run holds locked.
void removeLeftovers(const std::filesystem::path& directory) {
    std::error_code ec;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        const size_t mark = name.find(".orlenta-");
        if (!name.starts_with(".") || mark == std::string::npos || name.size() < mark + 15)
            continue;
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) || entry.is_symlink(entryError))
            continue;
        const auto written = entry.last_write_time(entryError);
        if (entryError || now - written < kLeftoverAge)
            continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_uid == ::getuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(entry.path().c_str());
        ::close(fd);
    }
}

} // namespace

std::string systemError(int errorNumber) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    return strerror_r(errorNumber, buffer, sizeof buffer);
}

std::unique_ptr<TemporaryOutput> TemporaryOutput::create(const std::filesystem::path& target,
                                                         std::string* error) {
    auto fail = [&](const std::string& message) -> std::unique_ptr<TemporaryOutput> {
        if (error)
            *error = message;
        return nullptr;
    };

    struct stat existing {};
    const bool targetExists = ::stat(target.c_str(), &existing) == 0;
    if (targetExists && S_ISDIR(existing.st_mode))
        return fail("cannot write '" + target.string() + "': it is a directory");
    if (targetExists && !S_ISREG(existing.st_mode))
        return fail("cannot write '" + target.string() + "': it is not a regular file");
    // Renaming would replace a file the user may not write, as cp would refuse to.
    if (targetExists && ::access(target.c_str(), W_OK) != 0)
        return fail("cannot write '" + target.string() + "': " + systemError(errno));

    std::filesystem::path directory = target.parent_path();
    if (directory.empty())
        directory = ".";
    const std::string extension = target.extension().string();
    const std::string pattern =
        (directory / ("." + target.stem().string() + ".orlenta-XXXXXX" + extension)).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemps(name.data(), static_cast<int>(extension.size()), O_CLOEXEC);
    if (fd < 0)
        return fail("cannot write in '" + directory.string() + "': " + systemError(errno));
    // Held until the file is committed or removed: it tells other runs the file is in use.
    ::flock(fd, LOCK_EX | LOCK_NB);
    removeLeftovers(directory);

    const mode_t mode = targetExists ? (existing.st_mode & 0777) : (0666 & ~currentUmask());
    ::fchmod(fd, mode); // best effort: a file we may not chmod keeps mkstemp's 0600
    return std::unique_ptr<TemporaryOutput>(
        new TemporaryOutput(target, std::filesystem::path(name.data()), fd));
}

TemporaryOutput::TemporaryOutput(std::filesystem::path target, std::filesystem::path path, int fd)
    : target_(std::move(target)), path_(std::move(path)), fd_(fd) {}

TemporaryOutput::~TemporaryOutput() {
    discard();
}

void TemporaryOutput::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!done_) {
        ::unlink(path_.c_str());
        done_ = true;
    }
}

bool TemporaryOutput::commit(std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error)
            *error = message;
        discard();
        return false;
    };
    if (done_)
        return fail("cannot write '" + target_.string() + "': the output was already finished");
    // Whatever others wrote through their own descriptors reached the same file; fsync on ours
    // flushes the file, not the descriptor.
    if (::fsync(fd_) != 0)
        return fail("cannot write '" + target_.string() + "': " + systemError(errno));
    if (::close(fd_) != 0) {
        fd_ = -1;
        return fail("cannot write '" + target_.string() + "': " + systemError(errno));
    }
    fd_ = -1;
    if (::rename(path_.c_str(), target_.c_str()) != 0)
        return fail("cannot write '" + target_.string() + "': " + systemError(errno));
    done_ = true;
    return true;
}

} // namespace orlenta

// The helpers the extension services share: pid files, whose lock a file is, which process is
// the daemon, and where the daemon's program is.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "app/install/service_support.h"

namespace orlenta::install_support {
namespace {

namespace fs = std::filesystem;

TEST(ServiceSupport, PidFilesLocksAndProcesses) {
    const fs::path folder =
        fs::temp_directory_path() / ("orlenta-install-support-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string pidFile = (folder / "daemon.pid").string();
    std::string error;
    ASSERT_TRUE(writePidFile(pidFile, 4242, &error)) << error;
    EXPECT_EQ(readPidFile(pidFile), 4242);
    EXPECT_FALSE(fs::exists(pidFile + ".new"));
    EXPECT_FALSE(writePidFile((folder / "absent" / "x.pid").string(), 1, &error));
    EXPECT_FALSE(error.empty());
    // Only one positive decimal number on the first line is a pid.
    for (const auto& [text, pid] : {std::pair<const char*, std::optional<pid_t>>{"77 \nrest\n", 77},
                                    {"12x\n", {}},
                                    {"-5\n", {}},
                                    {"99999999999\n", {}}}) {
        std::ofstream(pidFile) << text;
        EXPECT_EQ(readPidFile(pidFile), pid) << text;
    }
    EXPECT_FALSE(readPidFile((folder / "missing").string()));

    // The lock as /proc/locks shows it, without taking it.
    const std::string lockFile = (folder / "daemon.lock").string();
    std::ofstream(lockFile) << ::getpid() << "\n";
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(holdsLock(::getpid(), lockFile), false);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(holdsLock(::getpid(), lockFile), true);
    EXPECT_EQ(holdsLock(::getpid() + 1, lockFile), false);
    EXPECT_EQ(holdsLock(::getpid(), (folder / "missing").string()), false);
    ::close(fd);

    // This test program is no daemon, and a process that is gone is nothing.
    EXPECT_FALSE(isDaemonProcess(::getpid()));
    EXPECT_TRUE(processProgram(::getpid()));
    EXPECT_FALSE(processProgram(0));
    EXPECT_FALSE(isDaemonProcess(-1));
    fs::remove_all(folder);
}

TEST(ServiceSupport, DaemonProgramBesideTheApp) {
    const auto beside = daemonProgramPath({});
    ASSERT_TRUE(beside);
    EXPECT_EQ(fs::path(*beside), fs::path(*ownProgramFolder()) / "orlenta-camera-extension");
    EXPECT_FALSE(checkDaemonProgram(std::string("/bin/sh")));
    for (const auto& missing : {std::optional<std::string>(), std::optional<std::string>("/")})
        EXPECT_EQ(checkDaemonProgram(missing).value_or(ExtensionError{}).code,
                  kExtensionErrorWrongLocation);
}

} // namespace
} // namespace orlenta::install_support

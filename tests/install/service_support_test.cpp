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

TEST(ServiceSupport, PidFilesAndLocks) {
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

    // Anything but one positive decimal number on the first line is no pid.
    for (const char* text : {"", "abc\n", "12x\n", "-5\n", "0\n", "99999999999\n", " \n"}) {
        std::ofstream(pidFile) << text;
        EXPECT_FALSE(readPidFile(pidFile)) << text;
    }
    std::ofstream(pidFile) << "77 \nrest\n";
    EXPECT_EQ(readPidFile(pidFile), 77);
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
    ::flock(fd, LOCK_UN);
    ::close(fd);
    EXPECT_EQ(holdsLock(::getpid(), lockFile), false);

    // This test program is no daemon, and a process that is gone is nothing.
    EXPECT_FALSE(isDaemonProcess(::getpid()));
    EXPECT_TRUE(processProgram(::getpid()));
    EXPECT_FALSE(processProgram(0));
    EXPECT_FALSE(isDaemonProcess(-1));
    fs::remove_all(folder);
}

TEST(ServiceSupport, DaemonProgramBesideTheApp) {
    ExtensionServiceOptions options;
    const auto beside = daemonProgramPath(options);
    ASSERT_TRUE(beside);
    EXPECT_EQ(fs::path(*beside).filename(), "orlenta-camera-extension");
    EXPECT_EQ(fs::path(*beside).parent_path(), fs::path(*ownProgramFolder()));

    options.programPath = "/nonexistent/orlenta-camera-extension";
    const auto missing = checkDaemonProgram(daemonProgramPath(options));
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->code, kExtensionErrorWrongLocation);
    EXPECT_EQ(checkDaemonProgram(std::nullopt)->code, kExtensionErrorWrongLocation);
    // A folder is no program.
    EXPECT_TRUE(checkDaemonProgram(std::string("/")));
    EXPECT_FALSE(checkDaemonProgram(std::string("/bin/sh")));
}

} // namespace
} // namespace orlenta::install_support

// The helpers the extension services share: pid files, whose lock a file is, which process is
// the daemon, where the daemon's program is, and starting programs that outlive the app.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/install/detached_process.h"
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

TEST(DetachedProcess, StartsProgramsThatAreNotTheAppsChildrenAndFindsThemOnPath) {
    const fs::path folder =
        fs::temp_directory_path() / ("orlenta-detached-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "bin");
    std::string error;
    const auto pid =
        spawnDetached({"/bin/sh", "-c", "touch \"$0\"", (folder / "ran").string()}, &error);
    ASSERT_TRUE(pid) << error;
    for (int i = 0; i < 500 && !fs::exists(folder / "ran"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(fs::exists(folder / "ran"));
    EXPECT_EQ(::waitpid(*pid, nullptr, WNOHANG), -1) << "not a child: nothing for the app to reap";
    EXPECT_EQ(errno, ECHILD);

    std::ofstream(folder / "plain-file") << "data";
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{(folder / "no-such-program").string()},
                                               {},
                                               {""},
                                               {(folder / "plain-file").string()}}) {
        error.clear();
        EXPECT_FALSE(spawnDetached(arguments, &error));
        EXPECT_FALSE(error.empty());
    }

    std::ofstream(folder / "bin" / "tool") << "#!/bin/sh\n";
    fs::permissions(folder / "bin" / "tool", fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH");
    ::setenv("PATH", ("/nonexistent:" + (folder / "bin").string()).c_str(), 1);
    EXPECT_EQ(findOnPath("tool"), (folder / "bin" / "tool").string());
    for (const char* absent : {"absent-tool", "bin/tool", ""})
        EXPECT_FALSE(findOnPath(absent)) << absent;
    ::setenv("PATH", oldPath.c_str(), 1);
    fs::remove_all(folder);
}

} // namespace
} // namespace orlenta::install_support

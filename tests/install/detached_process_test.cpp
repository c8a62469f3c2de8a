#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/install/detached_process.h"
#include "app/install/extension_installer.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for the scope, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

fs::path scratchFolder(const std::string& name) {
    fs::path folder =
        fs::temp_directory_path() / ("orlenta-install-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

bool waitForFile(const fs::path& path) {
    for (int i = 0; i < 500; ++i) {
        if (fs::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A settings program stand-in: a script that leaves a mark with its name.
void writeMarkingProgram(const fs::path& folder, const std::string& name, const fs::path& marks) {
    const fs::path program = folder / name;
    std::ofstream(program) << "#!/bin/sh\n/usr/bin/touch '" << (marks / name).string() << "'\n";
    fs::permissions(program, fs::perms::owner_all);
}

TEST(DetachedProcess, StartsProgramsThatAreNotTheAppsChildren) {
    const fs::path folder = scratchFolder("spawn");
    const fs::path mark = folder / "ran";
    std::string error;
    const auto pid = spawnDetached({"/bin/sh", "-c", "touch \"$0\"", mark.string()}, &error);
    ASSERT_TRUE(pid) << error;
    EXPECT_TRUE(waitForFile(mark));
    // Not a child: nothing for the app to reap.
    EXPECT_EQ(::waitpid(*pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    EXPECT_FALSE(spawnDetached({(folder / "no-such-program").string()}, &error));
    EXPECT_NE(error.find("no-such-program"), std::string::npos) << error;
    EXPECT_FALSE(spawnDetached({}, &error));
    EXPECT_FALSE(spawnDetached({""}, &error));
    const fs::path notExecutable = folder / "plain-file";
    std::ofstream(notExecutable) << "data";
    EXPECT_FALSE(spawnDetached({notExecutable.string()}, &error));
    fs::remove_all(folder);
}

TEST(DetachedProcess, FindsProgramsOnPath) {
    const fs::path folder = scratchFolder("path");
    writeMarkingProgram(folder, "tool", folder);
    const ScopedEnvironment path("PATH", "/nonexistent:" + folder.string());
    EXPECT_EQ(findOnPath("tool"), (folder / "tool").string());
    EXPECT_FALSE(findOnPath("absent-tool"));
    EXPECT_FALSE(findOnPath("a/tool"));
    EXPECT_FALSE(findOnPath(""));
    fs::remove_all(folder);
}

TEST(DesktopSettingsLauncher, OpensTheDesktopsSettingsOrAnyOrNone) {
    const fs::path folder = scratchFolder("settings");
    const fs::path bin = folder / "bin";
    const fs::path marks = folder / "marks";
    fs::create_directories(bin);
    fs::create_directories(marks);
    writeMarkingProgram(bin, "systemsettings", marks);
    writeMarkingProgram(bin, "gnome-control-center", marks);
    const ScopedEnvironment path("PATH", bin.string());
    auto launcher = createDesktopSettingsLauncher();

    {
        const ScopedEnvironment desktop("XDG_CURRENT_DESKTOP", "ubuntu:KDE");
        EXPECT_TRUE(launcher->openPreferred());
        EXPECT_TRUE(waitForFile(marks / "systemsettings"));
        EXPECT_FALSE(fs::exists(marks / "gnome-control-center"));
    }
    {
        // An unknown desktop has no preferred program; the fallback takes the first there is.
        const ScopedEnvironment desktop("XDG_CURRENT_DESKTOP", "Sway");
        EXPECT_FALSE(launcher->openPreferred());
        EXPECT_TRUE(launcher->openFallback());
        EXPECT_TRUE(waitForFile(marks / "gnome-control-center"));
    }
    {
        // Nothing installed: nothing runs, and the installer reports nothing.
        const ScopedEnvironment emptyPath("PATH", (folder / "empty").string());
        const ScopedEnvironment desktop("XDG_CURRENT_DESKTOP", "GNOME");
        EXPECT_FALSE(launcher->openPreferred());
        EXPECT_FALSE(launcher->openFallback());
    }
    fs::remove_all(folder);
}

} // namespace
} // namespace orlenta

// Starting programs that outlive the app, and finding them on PATH.
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
    ~ScopedEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct Scratch {
    fs::path folder = fs::temp_directory_path() / ("orlenta-detached-" + std::to_string(getpid()));
    Scratch() {
        fs::remove_all(folder);
        fs::create_directories(folder / "bin");
    }
    ~Scratch() { fs::remove_all(folder); }
    // A program that leaves a mark named after itself.
    void addMarkingProgram(const std::string& name) {
        std::ofstream(folder / "bin" / name)
            << "#!/bin/sh\n/usr/bin/touch '" << (folder / name).string() << "'\n";
        fs::permissions(folder / "bin" / name, fs::perms::owner_all);
    }
    bool marked(const std::string& name) {
        for (int i = 0; i < 500 && !fs::exists(folder / name); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return fs::exists(folder / name);
    }
};

TEST(DetachedProcess, StartsProgramsThatAreNotTheAppsChildrenAndFindsThemOnPath) {
    Scratch scratch;
    std::string error;
    const auto pid =
        spawnDetached({"/bin/sh", "-c", "touch \"$0\"", (scratch.folder / "ran").string()}, &error);
    ASSERT_TRUE(pid) << error;
    EXPECT_TRUE(scratch.marked("ran"));
    EXPECT_EQ(::waitpid(*pid, nullptr, WNOHANG), -1) << "not a child: nothing for the app to reap";
    EXPECT_EQ(errno, ECHILD);

    std::ofstream(scratch.folder / "plain-file") << "data";
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{(scratch.folder / "no-such-program").string()},
                                               {},
                                               {""},
                                               {(scratch.folder / "plain-file").string()}}) {
        error.clear();
        EXPECT_FALSE(spawnDetached(arguments, &error));
        EXPECT_FALSE(error.empty());
    }

    scratch.addMarkingProgram("tool");
    const ScopedEnvironment path("PATH", "/nonexistent:" + (scratch.folder / "bin").string());
    EXPECT_EQ(findOnPath("tool"), (scratch.folder / "bin" / "tool").string());
    for (const char* absent : {"absent-tool", "bin/tool", ""})
        EXPECT_FALSE(findOnPath(absent)) << absent;
}

} // namespace
} // namespace orlenta

// Starting programs that outlive the app, and finding them on PATH.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/install/detached_process.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

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
} // namespace orlenta

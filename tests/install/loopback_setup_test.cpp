// The V4L2 loopback step of Install and Uninstall, with stand-in pkexec and modprobe on PATH and
// a scratch folder for /etc.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/utsname.h>
#include <unistd.h>

#include "app/install/loopback_setup.h"
#include "media/dispatch.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Every file under a folder with its content.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        files[fs::relative(entry.path(), root).string()] =
            entry.is_regular_file() ? read(entry.path()) : "/";
    return files;
}

struct Answers final : ExtensionRequestDelegate {
    std::vector<std::string> heard;
    ExtensionReplacementAction actionForReplacing(const ExtensionRequest&,
                                                  const ExtensionProperties&,
                                                  const ExtensionProperties&) override {
        return ExtensionReplacementAction::replace;
    }
    void requestNeedsUserApproval(const ExtensionRequest&) override { heard.push_back("approval"); }
    void requestFoundProperties(const ExtensionRequest&,
                                const std::vector<ExtensionProperties>&) override {}
    void requestDidFinish(const ExtensionRequest&, int result) override {
        heard.push_back("finished " + std::to_string(result));
    }
    void requestDidFail(const ExtensionRequest&, const ExtensionError& error) override {
        heard.push_back(error.description);
    }
};

struct Stand {
    fs::path folder = fs::temp_directory_path() / ("orlenta-loopback-" + std::to_string(getpid()));
    LoopbackSetupOptions options;
    ManualExecutor main;
    std::shared_ptr<Answers> answers = std::make_shared<Answers>();
    std::string oldPath = std::getenv("PATH");

    Stand() {
        fs::remove_all(folder);
        fs::create_directories(folder / "bin");
        fs::create_directories(folder / "etc/modprobe.d");
        fs::create_directories(folder / "etc/modules-load.d");
        std::ofstream(folder / "etc/modprobe.d/other.conf") << "options snd foo=1\n";
        fs::create_directories(folder / "sys/module");
        // The module is installed (listed for the running kernel) but not loaded.
        utsname system{};
        ::uname(&system);
        fs::create_directories(folder / "modules" / system.release);
        std::ofstream(folder / "modules" / system.release / "modules.dep")
            << "kernel/fs/fat/vfat.ko: kernel/fs/fat/fat.ko\n"
            << "updates/dkms/v4l2loopback.ko.xz: kernel/drivers/media/videodev.ko\n";
        // pkexec runs the command as it is (an exit status in pkexec-status stands for the
        // dialog's answer); modprobe fails with the text in modprobe-error if there is one.
        script("pkexec", "echo \"pkexec $1 $2\" >>\"$LOG\"\n"
                         "[ -f \"$DIR/pkexec-status\" ] && exit \"$(cat \"$DIR/pkexec-status\")\"\n"
                         "exec \"$@\"\n");
        script("modprobe", "echo \"modprobe $*\" >>\"$LOG\"\n"
                           "[ -f \"$DIR/modprobe-error\" ] && { cat \"$DIR/modprobe-error\"; exit "
                           "1; }\nexit 0\n");
        ::setenv("PATH", ((folder / "bin").string() + ":/usr/bin:/bin").c_str(), 1);
        ::setenv("LOG", (folder / "log").c_str(), 1);
        ::setenv("DIR", folder.c_str(), 1);
        options.configRoot = (folder / "etc").string();
        options.loadedModuleRoot = (folder / "sys/module").string();
        options.moduleRoot = (folder / "modules").string();
    }
    ~Stand() {
        ::setenv("PATH", oldPath.c_str(), 1);
        fs::remove_all(folder);
    }
    void script(const std::string& name, const std::string& body) {
        std::ofstream(folder / "bin" / name) << "#!/bin/sh\n" << body;
        fs::permissions(folder / "bin" / name, fs::perms::owner_all);
    }
    // Runs one step and answers what the delegate heard and what was run.
    std::pair<std::vector<std::string>, std::string> run(bool install) {
        auto request = ExtensionRequest::create(install ? ExtensionRequest::Kind::activation
                                                        : ExtensionRequest::Kind::deactivation,
                                                "id", main);
        request->setDelegate(answers);
        const std::atomic<bool> stopping{false};
        install ? install_support::finishActivation(request, options, stopping)
                : install_support::finishDeactivation(request, options, stopping);
        main.runPending();
        std::string log = read(folder / "log");
        fs::remove(folder / "log");
        return {std::exchange(answers->heard, {}), log};
    }
};

TEST(LoopbackSetup, InstallAddsTheDeviceAsAdministratorAndUninstallRemovesExactlyThat) {
    Stand stand;
    const auto before = tree(stand.folder / "etc");
    const std::vector<std::string> approvedAndDone{"approval", "finished 0"};

    EXPECT_EQ(
        stand.run(true),
        std::pair(approvedAndDone, std::string("pkexec /bin/sh -c\nmodprobe v4l2loopback\n")));
    const fs::path etc = stand.folder / "etc";
    EXPECT_EQ(read(etc / "modprobe.d/orlenta-camera.conf"),
              "# Written by Orlenta Camera; removed when it is uninstalled.\n"
              "options v4l2loopback devices=1 card_label=\"Orlenta Camera\" exclusive_caps=1\n"
              "# loaded by Orlenta Camera\n");
    EXPECT_EQ(read(etc / "modules-load.d/orlenta-camera.conf"),
              "# Written by Orlenta Camera; removed when it is uninstalled.\nv4l2loopback\n");
    EXPECT_EQ(stand.run(true), std::pair(std::vector<std::string>{"finished 0"}, std::string()))
        << "Reinstall asks for nothing more";

    EXPECT_EQ(
        stand.run(false),
        std::pair(approvedAndDone, std::string("pkexec /bin/sh -c\nmodprobe -r v4l2loopback\n")));
    EXPECT_EQ(tree(etc), before);
    EXPECT_EQ(stand.run(false), std::pair(std::vector<std::string>{"finished 0"}, std::string()));

    // The dialog dismissed, and a module that will not load: nothing stays behind.
    std::ofstream(stand.folder / "pkexec-status") << "126";
    auto [heard, log] = stand.run(true);
    EXPECT_EQ(heard.back(), "no administrator\u2019s password was given, so adding the V4L2 camera "
                            "did not happen; apps that read PipeWire cameras still see Orlenta "
                            "Camera");
    fs::remove(stand.folder / "pkexec-status");
    std::ofstream(stand.folder / "modprobe-error")
        << "modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected by service\n";
    std::tie(heard, log) = stand.run(true);
    EXPECT_EQ(heard.back(), "adding the V4L2 camera failed: modprobe: ERROR: could not insert "
                            "'v4l2loopback': Key was rejected by service");
    EXPECT_EQ(tree(etc), before);

    // A module loaded already (by another program) is neither loaded nor unloaded.
    fs::remove(stand.folder / "modprobe-error");
    fs::create_directories(stand.folder / "sys/module/v4l2loopback");
    EXPECT_EQ(stand.run(true), std::pair(approvedAndDone, std::string("pkexec /bin/sh -c\n")));
    EXPECT_EQ(stand.run(false), std::pair(approvedAndDone, std::string("pkexec /bin/sh -c\n")));
    EXPECT_EQ(tree(etc), before);

    // Without the module nothing is run.
    fs::remove_all(stand.folder / "sys/module/v4l2loopback");
    fs::remove_all(stand.folder / "modules");
    EXPECT_FALSE(loopbackModuleAvailable(stand.options));
    EXPECT_EQ(stand.run(true), std::pair(std::vector<std::string>{"finished 0"}, std::string()));
}

} // namespace
} // namespace orlenta

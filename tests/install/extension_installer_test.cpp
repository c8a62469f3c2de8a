// The installer's logic: ExtensionInstaller over the in-memory service (how each answer becomes its
// flags and status line, the wait for the camera, late answers); the V4L2 loopback step with
// stand-in pkexec and modprobe on PATH and a scratch folder for /etc; and the helpers the services
// share (pid files, locks, the daemon's process and program, detached programs).
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/install/detached_process.h"
#include "app/install/extension_installer.h"
#include "app/install/loopback_setup.h"
#include "app/install/service_support.h"
#include "media/dispatch.h"
#include "media/observable_testing.h"
#include "tests/testing/extension_service_memory.h"

namespace orlenta {
namespace {

using namespace install_support;

namespace fs = std::filesystem;
using Kind = ExtensionRequest::Kind;
using Service = MemoryExtensionService;

struct Rig {
    ManualExecutor main;
    std::shared_ptr<Service> service = std::make_shared<Service>();
    std::shared_ptr<ExtensionInstaller> installer = ExtensionInstaller::create(service, main);

    void installAndComplete() {
        installer->install();
        Service::answerFinish(service->lastRequest(Kind::activation), kExtensionResultCompleted);
        main.runPending();
    }
};

TEST(ExtensionInstaller, EachAnswerBecomesTheStatusLineAndTheFlags) {
    enum class Ask { install, uninstall, status };
    struct Case {
        Ask ask;
        std::optional<ExtensionError> failure; // else it finishes with kExtensionResultCompleted
        std::string message;
        bool finishing = false;
    };
    const Case cases[] = {
        {Ask::install, {}, std::string(installer_text::installed), true},
        {Ask::uninstall, {}, ""},
        {Ask::install, ExtensionError{1, "the unit file is missing"},
         "Could not install: the unit file is missing."},
        {Ask::uninstall, ExtensionError{4, "process 12 does not end"},
         "Could not remove: process 12 does not end."},
        {Ask::install, ExtensionError{kExtensionErrorWrongLocation, "it is missing"},
         "Could not install: it is missing. Reinstall the orlenta-camera package (or build the "
         "project again), then try again."},
        // The status request's own finish or failure is no install's answer.
        {Ask::status, {}, "Installing\u2026"},
        {Ask::status, ExtensionError{1, "no bus"}, "Installing\u2026"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.installer->uninstall(); // an install after a removal is an install
        rig.installer->install();
        if (c.ask == Ask::uninstall)
            rig.installer->uninstall();
        if (c.ask == Ask::status)
            rig.installer->checkStatus();
        const auto request = rig.service->requests().back();
        if (c.failure)
            Service::answerFail(request, *c.failure);
        else
            Service::answerFinish(request, kExtensionResultCompleted);
        rig.main.runPending();
        SCOPED_TRACE(c.message);
        EXPECT_EQ(rig.installer->message.get(), c.message);
        EXPECT_EQ(rig.installer->finishing.get(), c.finishing);
        // Only a completed install waits for the camera: needsRestart at 10 s, not before.
        rig.main.advance(9.9);
        EXPECT_FALSE(rig.installer->needsRestart.get());
        rig.main.advance(0.1);
        EXPECT_EQ(rig.installer->needsRestart.get(), c.finishing);
        EXPECT_EQ(rig.main.activeTimerCount(), 0u);
        // Installing again starts afresh.
        rig.installer->install();
        EXPECT_EQ(rig.installer->message.get(), "Installing\u2026");
        EXPECT_FALSE(rig.installer->finishing.get() || rig.installer->needsRestart.get());
    }
}

TEST(ExtensionInstaller, TheWaitForTheCameraEndsWithItsConnectionOrANewInstallAndLateAnswersDrop) {
    // The camera connects at 4 s, or the installer goes before the wait ends: no restart hint.
    Rig connected, gone;
    connected.installAndComplete();
    connected.main.advance(4);
    connected.installer->virtualCameraDidConnect();
    connected.main.advance(20);
    EXPECT_FALSE(connected.installer->needsRestart.get());
    gone.installAndComplete();
    gone.installer.reset();
    gone.main.advance(11);
    EXPECT_EQ(gone.main.activeTimerCount(), 0u);

    // Installing again clears the flags; the first wait ends at 10 s and finds the second install
    // finishing (completed at 4 s) or not yet (still under way).
    for (const bool secondCompletes : {true, false}) {
        Rig rig;
        rig.installAndComplete();
        rig.main.advance(3);
        rig.installer->install();
        rig.main.advance(1);
        if (secondCompletes)
            Service::answerFinish(rig.service->lastRequest(Kind::activation),
                                  kExtensionResultCompleted);
        rig.main.advance(6);
        EXPECT_EQ(rig.installer->needsRestart.get(), secondCompletes);
    }

    // An answer that comes after the installer has gone reaches no one.
    Rig late;
    late.installer->install();
    const auto request = late.service->lastRequest(Kind::activation);
    late.installer.reset();
    EXPECT_EQ(request->delegate(), nullptr);
    Service::answerFinish(request, kExtensionResultCompleted);
    EXPECT_EQ(late.main.runPending(), 1u);
    EXPECT_EQ(late.main.activeTimerCount(), 0u);
}

std::string read(const fs::path& path) {
    return readWholeFile(path.string()).value_or("");
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

// What the delegate heard, and the commands that ran.
using Ran = std::pair<std::vector<std::string>, std::string>;

struct Stand {
    fs::path folder = fs::temp_directory_path() / ("orlenta-loopback-" + std::to_string(getpid()));
    LoopbackSetupOptions options;
    ManualExecutor main;
    std::shared_ptr<Answers> answers = std::make_shared<Answers>();
    std::string oldPath = std::getenv("PATH");

    Stand() {
        fs::remove_all(folder);
        for (const char* sub : {"bin", "etc/modprobe.d", "etc/modules-load.d", "sys/module"})
            fs::create_directories(folder / sub);
        std::ofstream(folder / "etc/modprobe.d/other.conf") << "options snd foo=1\n";
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
    Ran run(bool install) {
        auto request =
            ExtensionRequest::create(install ? Kind::activation : Kind::deactivation, "id", main);
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
    const std::vector<std::string> approvedAndDone{"approval", "finished 0"}, done{"finished 0"};

    EXPECT_EQ(stand.run(true), Ran(approvedAndDone, "pkexec /bin/sh -c\nmodprobe v4l2loopback\n"));
    const fs::path etc = stand.folder / "etc";
    EXPECT_EQ(read(etc / "modprobe.d/orlenta-camera.conf"),
              "# Written by Orlenta Camera; removed when it is uninstalled.\n"
              "options v4l2loopback devices=1 card_label=\"Orlenta Camera\" exclusive_caps=1\n"
              "# loaded by Orlenta Camera\n");
    EXPECT_EQ(read(etc / "modules-load.d/orlenta-camera.conf"),
              "# Written by Orlenta Camera; removed when it is uninstalled.\nv4l2loopback\n");
    EXPECT_EQ(stand.run(true), Ran(done, "")) << "Reinstall asks for nothing more";

    EXPECT_EQ(stand.run(false),
              Ran(approvedAndDone, "pkexec /bin/sh -c\nmodprobe -r v4l2loopback\n"));
    EXPECT_EQ(tree(etc), before);
    EXPECT_EQ(stand.run(false), Ran(done, ""));

    // The dialog dismissed, and a module that will not load: nothing stays behind.
    std::ofstream(stand.folder / "pkexec-status") << "126";
    EXPECT_EQ(stand.run(true).first.back(),
              "no administrator\u2019s password was given, so adding the V4L2 camera "
              "did not happen; apps that read PipeWire cameras still see Orlenta "
              "Camera");
    fs::remove(stand.folder / "pkexec-status");
    std::ofstream(stand.folder / "modprobe-error")
        << "modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected by service\n";
    EXPECT_EQ(stand.run(true).first.back(),
              "adding the V4L2 camera failed: modprobe: ERROR: could not insert "
              "'v4l2loopback': Key was rejected by service");
    EXPECT_EQ(tree(etc), before);

    // A module loaded already (by another program) is neither loaded nor unloaded.
    fs::remove(stand.folder / "modprobe-error");
    fs::create_directories(stand.folder / "sys/module/v4l2loopback");
    EXPECT_EQ(stand.run(true), Ran(approvedAndDone, "pkexec /bin/sh -c\n"));
    EXPECT_EQ(stand.run(false), Ran(approvedAndDone, "pkexec /bin/sh -c\n"));
    EXPECT_EQ(tree(etc), before);

    // Without the module nothing is run.
    fs::remove_all(stand.folder / "sys/module/v4l2loopback");
    fs::remove_all(stand.folder / "modules");
    EXPECT_FALSE(loopbackModuleAvailable(stand.options));
    EXPECT_EQ(stand.run(true), Ran(done, ""));
}

TEST(ServiceSupport, PidFilesLocksProcessesTheDaemonProgramAndDetachedPrograms) {
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

    // The daemon's program is beside the app's.
    const auto beside = daemonProgramPath({});
    ASSERT_TRUE(beside);
    EXPECT_EQ(fs::path(*beside), fs::path(*ownProgramFolder()) / "orlenta-camera-extension");
    EXPECT_FALSE(checkDaemonProgram(std::string("/bin/sh")));
    for (const auto& missing : {std::optional<std::string>(), std::optional<std::string>("/")})
        EXPECT_EQ(checkDaemonProgram(missing).value_or(ExtensionError{}).code,
                  kExtensionErrorWrongLocation);

    // Programs started detached are not the app's children; programs are found on PATH.
    fs::create_directories(folder / "bin");
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

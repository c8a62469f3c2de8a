// The installer for real: the process service starts and stops the actual daemon in a private
// PipeWire session, where "Orlenta Camera" appears and goes (reading it is the virtual camera
// tests' part).
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <signal.h>
#include <string>
#include <unistd.h>

#include "app/install/extension_service_process.h"
#include "app/install/extension_service_systemd.h"
#include "app/install/service_support.h"
#include "camera_service/virtual_camera.h"
#include "installer_support.h"
#include "tests/testing/pipewire_session.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;
using install_support::isDaemonProcess;
using install_support::readPidFile;
using testing::ChildProcess;
using testing::kInstalled;
using testing::runCommand;
using testing::waitUntil;

[[maybe_unused]] ::testing::Environment* const session =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

const std::string kSourceNode = virtual_camera::sourceNodeName();

std::string scratch(const std::string& name) {
    return testing::PipeWireSessionEnvironment::directory() + "/installer-" + name;
}

// An installer over the process service; every daemon it started is stopped at the end, however
// the test ends.
struct InstallerRig {
    ManualExecutor main;
    std::shared_ptr<ProcessExtensionService> service;
    std::shared_ptr<ExtensionInstaller> installer;
    std::string pidFile;

    explicit InstallerRig(std::string program = ORLENTA_EXTENSION_BINARY) {
        ExtensionServiceOptions options;
        options.programPath = std::move(program);
        service = std::make_shared<ProcessExtensionService>(options);
        installer =
            ExtensionInstaller::create(service, main, std::make_shared<testing::NoSettings>());
        pidFile = service->pidFilePath();
    }
    ~InstallerRig() {
        if (const auto pid = daemonPid()) {
            ::kill(*pid, SIGKILL);
            waitUntil([&] { return !isDaemonProcess(*pid); }, 5);
        }
        std::error_code ignored;
        fs::remove(pidFile, ignored);
    }

    std::string run(bool install) { return testing::run(main, *installer, install); }
    std::optional<pid_t> daemonPid() const {
        const auto pid = readPidFile(pidFile);
        return pid && isDaemonProcess(*pid) ? pid : std::nullopt;
    }
};

bool cameraListed() {
    const std::string dump = runCommand("pw-dump 2>/dev/null");
    return dump.find("\"node.description\": \"Orlenta Camera\"") != std::string::npos &&
           dump.find(kSourceNode) != std::string::npos;
}

TEST(InstallerIntegration, InstallStartsTheDaemonAndUninstallStopsIt) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    InstallerRig rig;
    ASSERT_FALSE(rig.pidFile.empty());

    ASSERT_EQ(rig.run(true), kInstalled);
    EXPECT_TRUE(rig.installer->finishing.get());
    const auto pid = rig.daemonPid();
    ASSERT_TRUE(pid);
    EXPECT_NE(::getppid(), *pid) << "not the app's child: the app can go and the camera stays";
    ASSERT_TRUE(waitUntil(cameraListed, 10)) << "no \"Orlenta Camera\" node";
    rig.installer->checkStatus(); // answered on the main thread while the next step runs

    // Installing again (Reinstall) replaces the daemon that runs with a fresh one.
    ASSERT_EQ(rig.run(true), kInstalled);
    const auto second = rig.daemonPid();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *pid);
    EXPECT_TRUE(waitUntil([&] { return !isDaemonProcess(*pid); }, 5));

    EXPECT_EQ(rig.run(false), "");
    EXPECT_TRUE(waitUntil([&] { return !isDaemonProcess(*second); }, 5));
    EXPECT_FALSE(fs::exists(rig.pidFile));
    EXPECT_TRUE(waitUntil([] { return !cameraListed(); }, 10));
    EXPECT_EQ(rig.run(false), "") << "removing what is not there is no failure";
}

TEST(InstallerIntegration, DaemonsStartedElsewhereAreReplaced) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // The same program started by hand, and another build of it: install stops either and starts
    // the app's own.
    const fs::path otherBuild = scratch("other-build") + "/orlenta-camera-extension";
    fs::create_directories(otherBuild.parent_path());
    fs::copy_file(ORLENTA_EXTENSION_BINARY, otherBuild, fs::copy_options::overwrite_existing);
    for (const std::string& program :
         {std::string(ORLENTA_EXTENSION_BINARY), otherBuild.string()}) {
        SCOPED_TRACE(program);
        ChildProcess elsewhere({program}, scratch("elsewhere.log"));
        ASSERT_TRUE(waitUntil(cameraListed, 10)) << elsewhere.output();
        if (program == otherBuild) {
            // Quitting while the question whether to replace it waits on the main thread: the
            // service goes at once (the bound only proves it does not hang) and leaves it running.
            InstallerRig quitting;
            quitting.installer->install();
            ASSERT_TRUE(waitUntil([&] { return quitting.main.pendingCount() > 0; }, 10));
            EXPECT_LT(testing::secondsToRelease(quitting.installer, quitting.service), 5.0);
            EXPECT_TRUE(isDaemonProcess(elsewhere.pid()));
        }
        InstallerRig rig;
        EXPECT_EQ(rig.run(true), kInstalled);
        EXPECT_EQ(elsewhere.waitForExit(5), 0);
        const auto pid = rig.daemonPid();
        ASSERT_TRUE(pid);
        EXPECT_NE(*pid, elsewhere.pid());
        EXPECT_TRUE(waitUntil(cameraListed, 10));
        EXPECT_EQ(rig.run(false), "");
    }
    fs::remove_all(otherBuild.parent_path());
}

TEST(InstallerIntegration, FailuresReachTheMessage) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // The daemon's program is not beside the app.
    {
        InstallerRig rig(scratch("missing") + "/orlenta-camera-extension");
        EXPECT_EQ(rig.run(true),
                  "Could not install: the virtual camera's program orlenta-camera-extension is "
                  "missing from " +
                      scratch("missing") +
                      " or cannot be run. Reinstall the orlenta-camera package (or build the "
                      "project again), then try again.");
        EXPECT_FALSE(rig.installer->finishing.get());
    }
    // The daemon cannot reach PipeWire and exits at once: a failure, and nothing left running.
    {
        const char* old = std::getenv("PIPEWIRE_REMOTE");
        const std::optional<std::string> saved =
            old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("PIPEWIRE_REMOTE", "orlenta-no-such-pipewire", 1);
        InstallerRig rig;
        const std::string message = rig.run(true);
        saved ? ::setenv("PIPEWIRE_REMOTE", saved->c_str(), 1) : ::unsetenv("PIPEWIRE_REMOTE");
        EXPECT_TRUE(message.starts_with(
            "Could not install: orlenta-camera-extension stopped right after it started"))
            << message;
        EXPECT_FALSE(rig.daemonPid());
    }
    // The private session's bus has no systemd manager on it: the platform's service is the
    // process one.
    std::string error;
    EXPECT_EQ(SystemdExtensionService::connect({}, &error), nullptr);
    EXPECT_FALSE(error.empty());
    const auto service = createPlatformExtensionService();
    ASSERT_TRUE(service);
    EXPECT_EQ(service->name(), "process");
}

} // namespace
} // namespace orlenta

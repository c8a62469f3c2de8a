// The installer for real: the process service starts and stops the actual daemon in a private
// PipeWire session, where a PipeWire reader finds and reads "Orlenta Camera".
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <signal.h>
#include <string>
#include <unistd.h>

#include "app/install/extension_installer.h"
#include "app/install/extension_service_process.h"
#include "app/install/extension_service_systemd.h"
#include "app/install/service_support.h"
#include "camera_service/virtual_camera.h"
#include "installer_support.h"
#include "media/dispatch.h"
#include "tests/testing/pipewire_session.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;
using install_support::isDaemonProcess;
using install_support::readPidFile;
using testing::ChildProcess;
using testing::NoSettings;
using testing::runCommand;
using testing::waitUntil;

[[maybe_unused]] ::testing::Environment* const session =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

const std::string kSourceNode = virtual_camera::sourceNodeName();
constexpr const char* kInstalledText =
    "Installed. You may need to restart your video app to see the camera.";

// Every daemon a test starts is stopped at its end, however it ends.
struct DaemonCleanup {
    std::string pidFile;
    ~DaemonCleanup() {
        if (const auto pid = readPidFile(pidFile); pid && isDaemonProcess(*pid)) {
            ::kill(*pid, SIGKILL);
            waitUntil([&] { return !isDaemonProcess(*pid); }, 5);
        }
        std::error_code ignored;
        fs::remove(pidFile, ignored);
    }
};

struct InstallerRig {
    ManualExecutor main;
    std::shared_ptr<ProcessExtensionService> service;
    std::shared_ptr<ExtensionInstaller> installer;
    DaemonCleanup cleanup;

    explicit InstallerRig(std::string program = ORLENTA_EXTENSION_BINARY) {
        ExtensionServiceOptions options;
        options.programPath = std::move(program);
        service = std::make_shared<ProcessExtensionService>(options);
        installer = ExtensionInstaller::create(service, main, std::make_shared<NoSettings>());
        cleanup.pidFile = service->pidFilePath();
    }

    bool settle() { return testing::settle(main, *installer); }
    std::vector<ExtensionProperties> properties() {
        return testing::askProperties(*service, main).value_or(std::vector<ExtensionProperties>{});
    }

    std::optional<pid_t> daemonPid() const {
        const auto pid = readPidFile(service->pidFilePath());
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
    ASSERT_FALSE(rig.service->pidFilePath().empty());
    EXPECT_TRUE(rig.properties().empty());

    rig.installer->install();
    ASSERT_TRUE(rig.settle());
    ASSERT_EQ(rig.installer->message.get(), kInstalledText);
    EXPECT_TRUE(rig.installer->finishing.get());
    const auto pid = rig.daemonPid();
    ASSERT_TRUE(pid);
    // The daemon is not the app's child: the app can go and the camera stays.
    EXPECT_NE(::getppid(), *pid);

    ASSERT_TRUE(waitUntil(cameraListed, 10)) << "no \"Orlenta Camera\" node";
    int status = -1;
    const std::string output = runCommand(
        "timeout 20 gst-launch-1.0 -q pipewiresrc target-object=" + kSourceNode +
            " num-buffers=5 ! video/x-raw,format=BGRx,width=1280,height=720 ! fakesink 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;

    auto found = rig.properties();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].isActive);
    EXPECT_FALSE(found[0].isAwaitingUserApproval);
    EXPECT_EQ(fs::path(found[0].programPath).filename(), "orlenta-camera-extension");

    // Installing again (Reinstall) replaces the daemon that runs with a fresh one.
    rig.installer->install();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.installer->message.get(), kInstalledText);
    const auto second = rig.daemonPid();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *pid);
    EXPECT_TRUE(waitUntil([&] { return !isDaemonProcess(*pid); }, 5));

    rig.installer->uninstall();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.installer->message.get(), "");
    EXPECT_TRUE(waitUntil([&] { return !isDaemonProcess(*second); }, 5));
    EXPECT_FALSE(fs::exists(rig.service->pidFilePath()));
    EXPECT_TRUE(waitUntil([] { return !cameraListed(); }, 10));
    EXPECT_TRUE(rig.properties().empty());

    // Removing what is not there is no failure.
    rig.installer->uninstall();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.installer->message.get(), "");
}

TEST(InstallerIntegration, DaemonsStartedElsewhereAreReplaced) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // The same program, started by hand: install stops it and starts the app's own.
    {
        InstallerRig rig;
        ChildProcess byHand({ORLENTA_EXTENSION_BINARY},
                            testing::PipeWireSessionEnvironment::directory() +
                                "/installer-by-hand.log");
        ASSERT_TRUE(waitUntil(cameraListed, 10)) << byHand.output();
        rig.installer->install();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.installer->message.get(), kInstalledText);
        EXPECT_EQ(byHand.waitForExit(5), 0);
        const auto pid = rig.daemonPid();
        ASSERT_TRUE(pid);
        EXPECT_NE(*pid, byHand.pid());
        rig.installer->uninstall();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.installer->message.get(), "");
    }
    // Another build of the daemon runs: the installer's answer replaces it.
    {
        const fs::path folder =
            fs::path(testing::PipeWireSessionEnvironment::directory()) / "installer-other-build";
        fs::create_directories(folder);
        const fs::path other = folder / "orlenta-camera-extension";
        fs::copy_file(ORLENTA_EXTENSION_BINARY, other, fs::copy_options::overwrite_existing);
        ChildProcess otherBuild({other.string()}, testing::PipeWireSessionEnvironment::directory() +
                                                      "/installer-other-build.log");
        ASSERT_TRUE(waitUntil(cameraListed, 10)) << otherBuild.output();

        // Quitting while the question whether to replace it waits on the main thread: the
        // service goes at once (the bound only proves it does not hang) and leaves it running.
        {
            InstallerRig quitting;
            quitting.installer->install();
            ASSERT_TRUE(waitUntil([&] { return quitting.main.pendingCount() > 0; }, 10));
            EXPECT_LT(testing::secondsToRelease(quitting.installer, quitting.service), 5.0);
            EXPECT_TRUE(isDaemonProcess(otherBuild.pid()));
        }

        InstallerRig rig;
        rig.installer->install();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.installer->message.get(), kInstalledText);
        EXPECT_EQ(otherBuild.waitForExit(5), 0);
        const auto pid = rig.daemonPid();
        ASSERT_TRUE(pid);
        EXPECT_NE(*pid, otherBuild.pid());
        EXPECT_TRUE(waitUntil(cameraListed, 10));
        rig.installer->uninstall();
        ASSERT_TRUE(rig.settle());
        fs::remove_all(folder);
    }
}

TEST(InstallerIntegration, FailuresReachTheMessage) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // The daemon's program is not beside the app.
    {
        InstallerRig rig(testing::PipeWireSessionEnvironment::directory() +
                         "/missing/orlenta-camera-extension");
        rig.installer->install();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.installer->message.get(),
                  "Could not install: the virtual camera's program orlenta-camera-extension is "
                  "missing from " +
                      testing::PipeWireSessionEnvironment::directory() +
                      "/missing or cannot be run. Reinstall the orlenta-camera package (or build "
                      "the project again), then try again.");
        EXPECT_FALSE(rig.installer->finishing.get());
    }
    // The daemon cannot reach PipeWire and exits at once: a failure, and nothing left running.
    {
        const char* old = std::getenv("PIPEWIRE_REMOTE");
        const std::optional<std::string> saved =
            old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("PIPEWIRE_REMOTE", "orlenta-no-such-pipewire", 1);
        InstallerRig rig;
        rig.installer->install();
        const bool settled = rig.settle();
        if (saved)
            ::setenv("PIPEWIRE_REMOTE", saved->c_str(), 1);
        else
            ::unsetenv("PIPEWIRE_REMOTE");
        ASSERT_TRUE(settled);
        EXPECT_EQ(
            rig.installer->message.get().rfind(
                "Could not install: orlenta-camera-extension stopped right after it started", 0),
            0u)
            << rig.installer->message.get();
        EXPECT_FALSE(rig.daemonPid());
    }
}

TEST(InstallerIntegration, WithoutUserSystemdThePlatformServiceIsTheProcessOne) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // The private session's bus has no systemd manager on it.
    std::string error;
    EXPECT_EQ(SystemdExtensionService::connect({}, &error), nullptr);
    EXPECT_FALSE(error.empty());
    const auto service = createPlatformExtensionService();
    ASSERT_TRUE(service);
    EXPECT_EQ(service->name(), "process");
}

} // namespace
} // namespace orlenta

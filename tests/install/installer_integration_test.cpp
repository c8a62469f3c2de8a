// The installer for real in a private PipeWire session: the process service starts and stops the
// actual daemon, where "Orlenta Camera" appears and goes (reading it is the virtual camera tests'
// part); and the systemd service's D-Bus conversation, against a manager this test serves on the
// session's bus under systemd's name (there is no user systemd here).
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <optional>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <systemd/sd-bus.h>

#include "app/install/extension_installer.h"
#include "app/install/extension_service_process.h"
#include "app/install/extension_service_systemd.h"
#include "app/install/service_support.h"
#include "camera_service/virtual_camera.h"
#include "media/dispatch.h"
#include "tests/testing/pipewire_session.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;
using install_support::isDaemonProcess;
using install_support::readPidFile;
using testing::ChildProcess;
using testing::runCommand;
using testing::waitUntil;

[[maybe_unused]] ::testing::Environment* const sessionEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

struct NoSettings final : SettingsLauncher {
    bool openPreferred() override { return false; }
    bool openFallback() override { return false; }
};

// Installs or removes, runs the main thread until the status line leaves "Installing…" /
// "Removing…", and answers that line.
std::string runToEnd(ManualExecutor& main, ExtensionInstaller& installer, bool install) {
    install ? installer.install() : installer.uninstall();
    EXPECT_TRUE(main.runUntil(
        [&] {
            const std::string& text = installer.message.get();
            return text != installer_text::installing && text != installer_text::removing;
        },
        20));
    return installer.message.get();
}

const std::string kInstalled(installer_text::installed);

// The message when the daemon's program is not in the folder.
std::string missingProgram(const std::string& folder) {
    return "Could not install: the virtual camera's program orlenta-camera-extension is missing "
           "from " +
           folder +
           " or cannot be run. Reinstall the orlenta-camera package (or build the project again), "
           "then try again.";
}

// Drops the app's hold on an installer and its service, as quitting does, and answers how many
// seconds that took (also recorded as the test's quit_ms). Only a bound that proves "does not
// hang" belongs in an assertion on it.
template <typename Service>
double secondsToRelease(std::shared_ptr<ExtensionInstaller>& installer,
                        std::shared_ptr<Service>& service) {
    const auto start = std::chrono::steady_clock::now();
    installer.reset();
    service.reset();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::testing::Test::RecordProperty("quit_ms", std::to_string(seconds * 1000));
    return seconds;
}

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
        installer = ExtensionInstaller::create(service, main, std::make_shared<NoSettings>());
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

    std::string run(bool install) { return runToEnd(main, *installer, install); }
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
    // Not the app's child, and in a session of its own: the app can go and the camera stays.
    EXPECT_NE(::getsid(*pid), ::getsid(0));
    std::ifstream stat("/proc/" + std::to_string(*pid) + "/stat");
    std::string field;
    for (int i = 0; i < 4 && stat >> field; ++i) {
    }
    EXPECT_NE(field, std::to_string(::getpid()));
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
            EXPECT_LT(secondsToRelease(quitting.installer, quitting.service), 5.0);
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
        EXPECT_EQ(rig.run(true), missingProgram(scratch("missing")));
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

constexpr const char* kUnitPath =
    "/org/freedesktop/systemd1/unit/orlenta_2dcamera_2dextension_2eservice";

// A user manager that knows one unit and records what it is asked. Like systemd it reads the
// user's unit file on Reload; the user's file wins over the "system" unit (one a package
// kInstalled), which the test describes with systemUnit and systemProgram.
class ScriptedManager {
public:
    std::mutex mutex;
    std::vector<std::string> calls; // "Method" or "Method unit"
    std::string userUnitFile;
    bool systemUnit = false;
    std::string systemProgram;
    bool known = false;
    std::string program; // the loaded unit's ExecStart program
    bool enabled = false;
    std::string activeState = "inactive";
    bool startFails = false;
    std::string refuses;                   // a method that answers with an error
    std::atomic<bool> stallRestart{false}; // RestartUnit answers only once this is cleared

    // Serves the manager on the session bus under systemd's name.
    void start() {
        ASSERT_GE(sd_bus_open_user(&bus_), 0);
        static const sd_bus_vtable manager[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_PROPERTY("Version", "s", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_METHOD("LoadUnit", "s", "o", method, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("EnableUnitFiles", "asbb", "ba(sss)", method, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("DisableUnitFiles", "asb", "a(sss)", method, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Reload", "", "", method, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("RestartUnit", "ss", "o", method, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("StopUnit", "ss", "o", method, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        static const sd_bus_vtable unit[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("LoadState", "s", property, 0, 0),
            SD_BUS_PROPERTY("ActiveState", "s", property, 0, 0),
            SD_BUS_PROPERTY("UnitFileState", "s", property, 0, 0), SD_BUS_VTABLE_END};
        static const sd_bus_vtable service[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("ExecStart", "a(sasbttttuii)", property, 0, 0),
            SD_BUS_VTABLE_END};
        const auto serve = [&](const char* path, const char* name, const sd_bus_vtable* table) {
            return sd_bus_add_object_vtable(bus_, nullptr, path, name, table, this) >= 0;
        };
        ASSERT_TRUE(
            serve("/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", manager) &&
            serve(kUnitPath, "org.freedesktop.systemd1.Unit", unit) &&
            serve(kUnitPath, "org.freedesktop.systemd1.Service", service) &&
            sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) >= 0);
        reloadFiles();
        thread_ = std::thread([this] {
            while (!stop_) {
                const int result = sd_bus_process(bus_, nullptr);
                if (result < 0)
                    break;
                if (result == 0)
                    sd_bus_wait(bus_, 50'000);
            }
        });
    }

    ~ScriptedManager() {
        stop_ = true;
        stallRestart = false;
        if (thread_.joinable())
            thread_.join();
        sd_bus_flush_close_unref(bus_);
    }

    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }

    // What systemd would load now (under the lock).
    void reloadFiles() {
        std::ifstream file(userUnitFile);
        std::string line;
        known = systemUnit;
        program = systemProgram;
        while (file && std::getline(file, line))
            if (line.starts_with("ExecStart=")) {
                known = true;
                program = line.substr(10);
                if (program.size() >= 2 && program.front() == '"')
                    program = program.substr(1, program.size() - 2);
            }
    }

private:
    static ScriptedManager& self(void* data) { return *static_cast<ScriptedManager*>(data); }

    // Every method: records its name (and the unit it names), answers a refused method with an
    // error, and otherwise does what systemd would and replies as it does.
    static int method(sd_bus_message* message, void* data, sd_bus_error* error) {
        ScriptedManager& manager = self(data);
        const std::string name = sd_bus_message_get_member(message);
        std::string call = name;
        const char* unit = nullptr;
        if (name.ends_with("Unit") && sd_bus_message_read(message, "s", &unit) > 0)
            call += std::string(" ") + unit;
        // A manager that is slow to answer (the service must not wait for it when it goes).
        while (name == "RestartUnit" && manager.stallRestart)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard lock(manager.mutex);
        manager.calls.push_back(call);
        if (manager.refuses == name) {
            sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied",
                             "Access denied by the test");
            return -EACCES;
        }
        if (name == "LoadUnit")
            return sd_bus_reply_method_return(message, "o", kUnitPath);
        if (name == "Reload") {
            manager.reloadFiles();
            return sd_bus_reply_method_return(message, "");
        }
        if (name == "RestartUnit" || name == "StopUnit") {
            manager.activeState = name == "StopUnit"   ? "inactive"
                                  : manager.startFails ? "failed"
                                                       : "active";
            return sd_bus_reply_method_return(message, "o", "/org/freedesktop/systemd1/job/1");
        }
        // EnableUnitFiles answers (carries_install_info, changes), DisableUnitFiles (changes).
        manager.enabled = name == "EnableUnitFiles";
        return manager.enabled ? sd_bus_reply_method_return(message, "ba(sss)", 1, 0)
                               : sd_bus_reply_method_return(message, "a(sss)", 0);
    }

    // Every property: the manager's version, the unit's states and its service's command.
    static int property(sd_bus*, const char*, const char*, const char* which, sd_bus_message* reply,
                        void* data, sd_bus_error*) {
        ScriptedManager& manager = self(data);
        std::lock_guard lock(manager.mutex);
        const std::string name = which;
        // One command (its program, argv, ignore-failure, times, pid, status) when the unit is
        // known.
        if (name == "ExecStart")
            return sd_bus_message_append(reply, "a(sasbttttuii)", manager.known ? 1u : 0u,
                                         manager.program.c_str(), 1, manager.program.c_str(), 0,
                                         0ul, 0ul, 0ul, 0ul, 0u, 0, 0);
        const std::string value = name == "Version"       ? "252-test"
                                  : name == "LoadState"   ? (manager.known ? "loaded" : "not-found")
                                  : name == "ActiveState" ? manager.activeState
                                  : manager.enabled       ? "enabled"
                                  : manager.known         ? "disabled"
                                                          : "";
        return sd_bus_message_append(reply, "s", value.c_str());
    }

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const std::string kName = "orlenta-camera-extension.service";

// A manager, a service over it writing its unit into a folder of the session, and an installer.
struct SystemdRig {
    ScriptedManager manager;
    fs::path folder = fs::path(testing::PipeWireSessionEnvironment::directory()) / "systemd-user";
    fs::path unitFile = folder / kName;
    std::string program = fs::canonical(ORLENTA_EXTENSION_BINARY).string();
    ManualExecutor main;
    std::shared_ptr<SystemdExtensionService> service;
    std::shared_ptr<ExtensionInstaller> installer;

    SystemdRig() {
        fs::remove_all(folder);
        manager.userUnitFile = unitFile.string();
        manager.start();
        service = connect(ORLENTA_EXTENSION_BINARY, unitFile.string());
        if (service)
            installer = installerFor(service);
    }
    ~SystemdRig() { fs::remove_all(folder); }

    static std::shared_ptr<SystemdExtensionService> connect(const std::string& program,
                                                            const std::string& unitFile) {
        ExtensionServiceOptions options;
        options.programPath = program;
        options.unitFilePath = unitFile;
        std::string error;
        auto connected = SystemdExtensionService::connect(options, &error);
        EXPECT_TRUE(connected) << error;
        return connected;
    }
    std::shared_ptr<ExtensionInstaller> installerFor(std::shared_ptr<ExtensionService> other) {
        return ExtensionInstaller::create(std::move(other), main, std::make_shared<NoSettings>());
    }
    std::string run(bool install, ExtensionInstaller* other = nullptr) {
        return runToEnd(main, other ? *other : *installer, install);
    }
    // Changes what the manager knows, under its lock.
    void script(const std::function<void(ScriptedManager&)>& change) {
        std::lock_guard lock(manager.mutex);
        change(manager);
    }
    // Enabled or not, the unit's state, and the program it runs.
    std::string managerState() {
        std::lock_guard lock(manager.mutex);
        return (manager.enabled ? "enabled " : "disabled ") + manager.activeState + " " +
               manager.program;
    }
    std::string unitText() const {
        return install_support::readWholeFile(unitFile.string()).value_or("");
    }
};

TEST(InstallerSystemd, WritesEnablesRestartsStopsAndDisablesTheUnit) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    SystemdRig rig;
    ASSERT_TRUE(rig.installer);

    // Unknown to systemd (run from the build tree): a unit for the daemon beside the app is
    // written into the user's folder, loaded, enabled and started.
    const std::string running = "enabled active " + rig.program;
    EXPECT_EQ(rig.run(true), kInstalled);
    EXPECT_EQ(rig.managerState(), running);
    const std::string text = rig.unitText();
    EXPECT_NE(text.find("\nExecStart=\"" + rig.program + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("WantedBy=default.target"), std::string::npos) << text;

    EXPECT_EQ(rig.run(true), kInstalled);
    EXPECT_EQ(rig.managerState(), running);
    EXPECT_EQ(rig.run(false), "");
    EXPECT_EQ(rig.managerState(), "disabled inactive ");
    EXPECT_FALSE(fs::exists(rig.unitFile)) << "the written unit goes with the removal";

    // An installed unit (a package's) that runs this very program is used as it is; one that
    // runs another program is overridden by the user's unit for this app's daemon.
    rig.script([&](ScriptedManager& m) {
        m.systemUnit = true;
        m.systemProgram = rig.program;
        m.reloadFiles();
    });
    EXPECT_EQ(rig.run(true), kInstalled);
    EXPECT_FALSE(fs::exists(rig.unitFile));
    rig.script([](ScriptedManager& m) {
        m.systemProgram = "/usr/bin/orlenta-camera-extension";
        m.reloadFiles();
    });
    EXPECT_EQ(rig.run(true), kInstalled);
    EXPECT_NE(rig.unitText().find(rig.program), std::string::npos);
    EXPECT_EQ(rig.managerState(), running);
}

TEST(InstallerSystemd, FailuresSayWhatIsMissingAndLeaveNothingHalfInstalled) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    SystemdRig rig;
    ASSERT_TRUE(rig.installer);

    // The unit fails to start, or the manager refuses a step: one message each, the unit file
    // and the enablement back as they were.
    for (const bool startFails : {true, false}) {
        rig.script([&](ScriptedManager& m) {
            m.startFails = startFails;
            m.refuses = startFails ? "" : "EnableUnitFiles";
        });
        EXPECT_EQ(rig.run(true), startFails ? "Could not install: " + kName +
                                                  " failed to start (see journalctl --user -u " +
                                                  kName + ")."
                                            : "Could not install: the systemd user manager refused "
                                              "EnableUnitFiles for " +
                                                  kName + ": Access denied by the test.");
        EXPECT_FALSE(fs::exists(rig.unitFile));
        rig.script([](ScriptedManager& m) { EXPECT_FALSE(m.enabled); });
    }
    rig.script([](ScriptedManager& m) { m.refuses.clear(); });

    // A unit file that cannot be written (its folder is a file), and the daemon's program
    // missing: one message each, and nothing asked of the manager beyond a look at the unit.
    fs::create_directories(rig.folder);
    const fs::path blocked = rig.folder / "not-a-folder";
    std::ofstream(blocked) << "x";
    rig.manager.takeCalls();
    auto unwritable = rig.installerFor(rig.connect(ORLENTA_EXTENSION_BINARY, blocked / kName));
    EXPECT_EQ(rig.run(true, unwritable.get()), "Could not install: cannot create the folder " +
                                                   blocked.string() +
                                                   " for the unit file: Not a directory.");
    EXPECT_EQ(rig.manager.takeCalls(), std::vector<std::string>{"LoadUnit " + kName});

    const std::string session = testing::PipeWireSessionEnvironment::directory();
    auto missing = rig.installerFor(
        rig.connect(session + "/no-bin/orlenta-camera-extension", rig.unitFile.string()));
    rig.manager.takeCalls();
    EXPECT_EQ(rig.run(true, missing.get()), missingProgram(session + "/no-bin"));
    EXPECT_TRUE(rig.manager.takeCalls().empty());

    // Quitting does not wait for a manager slow to answer.
    rig.manager.stallRestart = true;
    rig.installer->install();
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            std::lock_guard lock(rig.manager.mutex);
            return rig.manager.enabled;
        },
        10));
    // Give the service time to send RestartUnit, which the manager now holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(secondsToRelease(rig.installer, rig.service), 3.0)
        << "destroying the service waited for the manager";
    rig.manager.stallRestart = false;
}

} // namespace
} // namespace orlenta

// The systemd service's D-Bus conversation, against a manager that this test serves on the
// private session's bus under systemd's name (there is no user systemd here): which calls the
// service makes, with which arguments, how it reads the unit's state, the unit file it writes, and
// what it puts back when something fails.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <systemd/sd-bus.h>

#include "app/install/extension_installer.h"
#include "app/install/extension_service_systemd.h"
#include "app/install/service_support.h"
#include "installer_support.h"
#include "media/dispatch.h"
#include "tests/testing/pipewire_session.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUnitPath =
    "/org/freedesktop/systemd1/unit/orlenta_2dcamera_2dextension_2eservice";

// A user manager that knows one unit and records what it is asked. Like systemd it reads the
// user's unit file on Reload; the user's file wins over the "system" unit (one a package
// installed), which the test describes with systemUnit and systemProgram.
class ScriptedManager {
public:
    std::mutex mutex;
    std::vector<std::string> calls; // "Method arg arg ..."
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

    bool start(std::string* error) {
        if (sd_bus_open_user(&bus_) < 0) {
            *error = "cannot open the session bus";
            return false;
        }
        static const sd_bus_vtable manager[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_PROPERTY("Version", "s", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_METHOD("LoadUnit", "s", "o", loadUnit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("EnableUnitFiles", "asbb", "ba(sss)", enableUnitFiles,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("DisableUnitFiles", "asb", "a(sss)", disableUnitFiles,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Reload", "", "", reload, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("RestartUnit", "ss", "o", restartUnit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("StopUnit", "ss", "o", stopUnit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        static const sd_bus_vtable unit[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("LoadState", "s", unitProperty, 0, 0),
            SD_BUS_PROPERTY("ActiveState", "s", unitProperty, 0, 0),
            SD_BUS_PROPERTY("UnitFileState", "s", unitProperty, 0, 0), SD_BUS_VTABLE_END};
        static const sd_bus_vtable service[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("ExecStart", "a(sasbttttuii)", execStart, 0, 0),
            SD_BUS_VTABLE_END};
        if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", manager, this) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, kUnitPath, "org.freedesktop.systemd1.Unit",
                                     unit, this) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, kUnitPath, "org.freedesktop.systemd1.Service",
                                     service, this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0) {
            *error = "cannot serve org.freedesktop.systemd1";
            return false;
        }
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
        return true;
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

    // Notes a call and applies its effect on the unit, under the lock; answers an error instead
    // when the test made the manager refuse the method.
    template <typename Effect>
    static bool record(void* data, const std::string& method, std::string call, Effect effect,
                       sd_bus_error* error) {
        ScriptedManager& manager = self(data);
        std::lock_guard lock(manager.mutex);
        manager.calls.push_back(std::move(call));
        if (manager.refuses == method) {
            sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied",
                             "Access denied by the test");
            return false;
        }
        effect(manager);
        return true;
    }

    static std::vector<std::string> readStrings(sd_bus_message* message) {
        std::vector<std::string> strings;
        if (sd_bus_message_enter_container(message, 'a', "s") < 0)
            return strings;
        const char* text = nullptr;
        while (sd_bus_message_read(message, "s", &text) > 0)
            strings.emplace_back(text);
        sd_bus_message_exit_container(message);
        return strings;
    }

    static int replyChanges(sd_bus_message* message, bool withCarriesInstallInfo) {
        sd_bus_message* reply = nullptr;
        int result = sd_bus_message_new_method_return(message, &reply);
        if (result >= 0 && withCarriesInstallInfo)
            result = sd_bus_message_append(reply, "b", 1);
        if (result >= 0)
            result = sd_bus_message_append(reply, "a(sss)", 0);
        if (result >= 0)
            result = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return result;
    }

    static int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                       sd_bus_error*) {
        return sd_bus_message_append(reply, "s", "252-test");
    }

    static int unitProperty(sd_bus*, const char*, const char*, const char* property,
                            sd_bus_message* reply, void* data, sd_bus_error*) {
        ScriptedManager& manager = self(data);
        std::lock_guard lock(manager.mutex);
        std::string value;
        if (std::string(property) == "LoadState")
            value = manager.known ? "loaded" : "not-found";
        else if (std::string(property) == "ActiveState")
            value = manager.activeState;
        else
            value = manager.enabled ? "enabled" : manager.known ? "disabled" : "";
        return sd_bus_message_append(reply, "s", value.c_str());
    }

    static int execStart(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void* data, sd_bus_error*) {
        ScriptedManager& manager = self(data);
        std::lock_guard lock(manager.mutex);
        int result = sd_bus_message_open_container(reply, 'a', "(sasbttttuii)");
        if (result >= 0 && manager.known)
            result =
                sd_bus_message_append(reply, "(sasbttttuii)", manager.program.c_str(), 1,
                                      manager.program.c_str(), 0, 0ul, 0ul, 0ul, 0ul, 0u, 0, 0);
        if (result >= 0)
            result = sd_bus_message_close_container(reply);
        return result;
    }

    static int loadUnit(sd_bus_message* message, void* data, sd_bus_error* error) {
        const char* name = nullptr;
        sd_bus_message_read(message, "s", &name);
        if (!record(
                data, "LoadUnit", std::string("LoadUnit ") + (name ? name : ""),
                [](ScriptedManager&) {}, error))
            return -EACCES;
        return sd_bus_reply_method_return(message, "o", kUnitPath);
    }

    static int enableUnitFiles(sd_bus_message* message, void* data, sd_bus_error* error) {
        const auto files = readStrings(message);
        if (!record(
                data, "EnableUnitFiles", "EnableUnitFiles " + (files.empty() ? "" : files[0]),
                [](ScriptedManager& manager) { manager.enabled = true; }, error))
            return -EACCES;
        return replyChanges(message, true);
    }

    static int disableUnitFiles(sd_bus_message* message, void* data, sd_bus_error* error) {
        const auto files = readStrings(message);
        if (!record(
                data, "DisableUnitFiles", "DisableUnitFiles " + (files.empty() ? "" : files[0]),
                [](ScriptedManager& manager) { manager.enabled = false; }, error))
            return -EACCES;
        return replyChanges(message, false);
    }

    static int reload(sd_bus_message* message, void* data, sd_bus_error* error) {
        if (!record(
                data, "Reload", "Reload", [](ScriptedManager& manager) { manager.reloadFiles(); },
                error))
            return -EACCES;
        return sd_bus_reply_method_return(message, "");
    }

    static int restartUnit(sd_bus_message* message, void* data, sd_bus_error* error) {
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(message, "ss", &name, &mode);
        // A manager that is slow to answer (the service must not wait for it when it goes).
        while (self(data).stallRestart)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!record(
                data, "RestartUnit", std::string("RestartUnit ") + name + " " + mode,
                [](ScriptedManager& manager) {
                    manager.activeState = manager.startFails ? "failed" : "active";
                },
                error))
            return -EACCES;
        return sd_bus_reply_method_return(message, "o", "/org/freedesktop/systemd1/job/1");
    }

    static int stopUnit(sd_bus_message* message, void* data, sd_bus_error* error) {
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(message, "ss", &name, &mode);
        if (!record(
                data, "StopUnit", std::string("StopUnit ") + name + " " + mode,
                [](ScriptedManager& manager) { manager.activeState = "inactive"; }, error))
            return -EACCES;
        return sd_bus_reply_method_return(message, "o", "/org/freedesktop/systemd1/job/2");
    }

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

using testing::NoSettings;
using testing::settle;

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

    explicit SystemdRig(std::string programPath = ORLENTA_EXTENSION_BINARY) {
        fs::remove_all(folder);
        manager.userUnitFile = unitFile.string();
        std::string error;
        EXPECT_TRUE(manager.start(&error)) << error;
        ExtensionServiceOptions options;
        options.programPath = std::move(programPath);
        options.unitFilePath = unitFile.string();
        service = SystemdExtensionService::connect(options, &error);
        EXPECT_TRUE(service) << error;
        if (service)
            installer = ExtensionInstaller::create(service, main, std::make_shared<NoSettings>());
    }
    ~SystemdRig() { fs::remove_all(folder); }

    bool settle() { return testing::settle(main, *installer); }
    std::string unitText() const {
        return install_support::readWholeFile(unitFile.string()).value_or("");
    }
    bool enabled() {
        std::lock_guard lock(manager.mutex);
        return manager.enabled;
    }
};

TEST(InstallerSystemd, WritesEnablesRestartsStopsAndDisablesTheUnit) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    SystemdRig rig;
    ASSERT_TRUE(rig.installer);

    // Unknown to systemd (run from the build tree): a unit for the daemon beside the app is
    // written into the user's folder, then enabled and (re)started.
    rig.installer->install();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.installer->message.get(),
              "Installed. You may need to restart your video app to see the camera.");
    EXPECT_EQ(rig.manager.takeCalls(),
              (std::vector<std::string>{"LoadUnit " + kName, "Reload", "LoadUnit " + kName,
                                        "EnableUnitFiles " + kName, "Reload",
                                        "RestartUnit " + kName + " replace"}));
    const std::string text = rig.unitText();
    EXPECT_NE(text.find("\nExecStart=\"" + rig.program + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("WantedBy=default.target"), std::string::npos) << text;

    // Reinstall: the unit already runs this program, so it is only restarted.
    rig.installer->install();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.manager.takeCalls(),
              (std::vector<std::string>{"LoadUnit " + kName, "EnableUnitFiles " + kName, "Reload",
                                        "RestartUnit " + kName + " replace"}));

    rig.installer->uninstall();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.installer->message.get(), "");
    EXPECT_EQ(rig.manager.takeCalls(),
              (std::vector<std::string>{"LoadUnit " + kName, "StopUnit " + kName + " replace",
                                        "DisableUnitFiles " + kName, "Reload"}));
    EXPECT_FALSE(fs::exists(rig.unitFile)) << "the written unit goes with the removal";

    // An installed unit (a package's) that runs this very program is used as it is; one that
    // runs another program is overridden by the user's unit for this app's daemon.
    {
        std::lock_guard lock(rig.manager.mutex);
        rig.manager.systemUnit = true;
        rig.manager.systemProgram = rig.program;
        rig.manager.reloadFiles();
    }
    rig.installer->install();
    ASSERT_TRUE(rig.settle());
    EXPECT_FALSE(fs::exists(rig.unitFile));
    {
        std::lock_guard lock(rig.manager.mutex);
        rig.manager.systemProgram = "/usr/bin/orlenta-camera-extension";
        rig.manager.reloadFiles();
    }
    rig.installer->install();
    ASSERT_TRUE(rig.settle());
    EXPECT_NE(rig.unitText().find(rig.program), std::string::npos);
    std::lock_guard lock(rig.manager.mutex);
    EXPECT_EQ(rig.manager.program, rig.program);
}

TEST(InstallerSystemd, FailuresSayWhatIsMissingAndLeaveNothingHalfInstalled) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    SystemdRig rig;
    ASSERT_TRUE(rig.installer);

    // Properties: nothing for an unknown unit, then the unit's program and state.
    const auto none = testing::askProperties(*rig.service, rig.main);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    {
        std::lock_guard lock(rig.manager.mutex);
        rig.manager.known = true;
        rig.manager.program = rig.program;
        rig.manager.enabled = true;
        rig.manager.activeState = "active";
    }
    const auto found = testing::askProperties(*rig.service, rig.main);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].programPath, rig.program);
    EXPECT_TRUE((*found)[0].isEnabled);
    EXPECT_TRUE((*found)[0].isActive);
    {
        std::lock_guard lock(rig.manager.mutex);
        rig.manager.known = false;
        rig.manager.enabled = false;
        rig.manager.activeState = "inactive";
    }

    // The unit fails to start, or the manager refuses a step: one message each, the unit file
    // and the enablement back as they were.
    const std::string refusedEnable = "Could not install: the systemd user manager refused "
                                      "EnableUnitFiles for " +
                                      kName + ": Access denied by the test.";
    const std::string failedStart = "Could not install: " + kName +
                                    " failed to start (see journalctl --user -u " + kName + ").";
    for (const bool startFails : {true, false}) {
        {
            std::lock_guard lock(rig.manager.mutex);
            rig.manager.startFails = startFails;
            rig.manager.refuses = startFails ? "" : "EnableUnitFiles";
        }
        rig.installer->install();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.installer->message.get(), startFails ? failedStart : refusedEnable);
        EXPECT_FALSE(fs::exists(rig.unitFile));
        EXPECT_FALSE(rig.enabled());
    }
    {
        std::lock_guard lock(rig.manager.mutex);
        rig.manager.refuses.clear();
    }

    // A unit file that cannot be written (its folder is a file), and the daemon's program
    // missing: one message each, and nothing asked of the manager beyond a look at the unit.
    auto installWith = [&](const std::string& program, const std::string& unitFile) {
        ExtensionServiceOptions options;
        options.programPath = program;
        options.unitFilePath = unitFile;
        std::string error;
        auto service = SystemdExtensionService::connect(options, &error);
        EXPECT_TRUE(service) << error;
        auto installer =
            ExtensionInstaller::create(service, rig.main, std::make_shared<NoSettings>());
        rig.manager.takeCalls();
        installer->install();
        EXPECT_TRUE(testing::settle(rig.main, *installer));
        return installer->message.get();
    };
    fs::create_directories(rig.folder);
    const fs::path blocked = rig.folder / "not-a-folder";
    std::ofstream(blocked) << "x";
    EXPECT_EQ(installWith(ORLENTA_EXTENSION_BINARY, (blocked / kName).string()),
              "Could not install: cannot create the folder " + blocked.string() +
                  " for the unit file: Not a directory.");
    EXPECT_EQ(rig.manager.takeCalls(), std::vector<std::string>{"LoadUnit " + kName});

    const std::string session = testing::PipeWireSessionEnvironment::directory();
    EXPECT_EQ(installWith(session + "/no-bin/orlenta-camera-extension", rig.unitFile.string()),
              "Could not install: the virtual camera's program orlenta-camera-extension is "
              "missing from " +
                  session +
                  "/no-bin or cannot be run. Reinstall the orlenta-camera package (or build the "
                  "project again), then try again.");
    EXPECT_TRUE(rig.manager.takeCalls().empty());
}

TEST(InstallerSystemd, QuittingDoesNotWaitForASlowManager) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    SystemdRig rig;
    ASSERT_TRUE(rig.installer);
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
    EXPECT_LT(testing::secondsToRelease(rig.installer, rig.service), 3.0)
        << "destroying the service waited for the manager";
    rig.manager.stallRestart = false;
}

} // namespace
} // namespace orlenta

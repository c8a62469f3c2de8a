// The systemd service's D-Bus conversation, against a manager that this test serves on the
// private session's bus under systemd's name (there is no user systemd here): which calls the
// service makes, with which arguments, and how it reads the unit's state.
#include <algorithm>
#include <atomic>
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
#include "installer_support.h"
#include "media/dispatch.h"
#include "pipewire_session.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUnitPath =
    "/org/freedesktop/systemd1/unit/orlenta_2dcamera_2dextension_2eservice";

// A user manager that knows one unit and records what it is asked.
class ScriptedManager {
public:
    std::mutex mutex;
    std::vector<std::string> calls; // "Method arg arg ..."
    bool known = false;
    bool enabled = false;
    std::string activeState = "inactive";
    bool startFails = false;

    bool start(std::string* error) {
        if (sd_bus_open_user(&bus_) < 0) {
            *error = "cannot open the session bus";
            return false;
        }
        static const sd_bus_vtable manager[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_PROPERTY("Version", "s", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_METHOD("LoadUnit", "s", "o", loadUnit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("LinkUnitFiles", "asbb", "a(sss)", linkUnitFiles,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("EnableUnitFiles", "asbb", "ba(sss)", enableUnitFiles,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("DisableUnitFiles", "asb", "a(sss)", disableUnitFiles,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Reload", "", "", reload, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("StartUnit", "ss", "o", startUnit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("StopUnit", "ss", "o", stopUnit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        static const sd_bus_vtable unit[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("LoadState", "s", unitProperty, 0, 0),
            SD_BUS_PROPERTY("ActiveState", "s", unitProperty, 0, 0),
            SD_BUS_PROPERTY("UnitFileState", "s", unitProperty, 0, 0), SD_BUS_VTABLE_END};
        if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", manager, this) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, kUnitPath, "org.freedesktop.systemd1.Unit",
                                     unit, this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0) {
            *error = "cannot serve org.freedesktop.systemd1";
            return false;
        }
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
        if (thread_.joinable())
            thread_.join();
        sd_bus_flush_close_unref(bus_);
    }

    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }

private:
    static ScriptedManager& self(void* data) { return *static_cast<ScriptedManager*>(data); }

    // Notes a call and applies its effect on the unit, under the lock.
    template <typename Effect> static void record(void* data, std::string call, Effect effect) {
        ScriptedManager& manager = self(data);
        std::lock_guard lock(manager.mutex);
        manager.calls.push_back(std::move(call));
        effect(manager);
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

    static int loadUnit(sd_bus_message* message, void* data, sd_bus_error*) {
        const char* name = nullptr;
        sd_bus_message_read(message, "s", &name);
        record(data, std::string("LoadUnit ") + (name ? name : ""), [](ScriptedManager&) {});
        return sd_bus_reply_method_return(message, "o", kUnitPath);
    }

    static int linkUnitFiles(sd_bus_message* message, void* data, sd_bus_error*) {
        const auto files = readStrings(message);
        int runtime = 0;
        int force = 0;
        sd_bus_message_read(message, "bb", &runtime, &force);
        std::string call = "LinkUnitFiles";
        for (const auto& file : files)
            call += " " + file;
        call += runtime ? " runtime" : " persistent";
        record(data, call, [](ScriptedManager& manager) { manager.known = true; });
        return replyChanges(message, false);
    }

    static int enableUnitFiles(sd_bus_message* message, void* data, sd_bus_error*) {
        const auto files = readStrings(message);
        record(data, "EnableUnitFiles " + (files.empty() ? "" : files[0]),
               [](ScriptedManager& manager) { manager.enabled = true; });
        return replyChanges(message, true);
    }

    static int disableUnitFiles(sd_bus_message* message, void* data, sd_bus_error*) {
        const auto files = readStrings(message);
        record(data, "DisableUnitFiles " + (files.empty() ? "" : files[0]),
               [](ScriptedManager& manager) { manager.enabled = false; });
        return replyChanges(message, false);
    }

    static int reload(sd_bus_message* message, void* data, sd_bus_error*) {
        record(data, "Reload", [](ScriptedManager&) {});
        return sd_bus_reply_method_return(message, "");
    }

    static int startUnit(sd_bus_message* message, void* data, sd_bus_error*) {
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(message, "ss", &name, &mode);
        record(data, std::string("StartUnit ") + name + " " + mode, [](ScriptedManager& manager) {
            manager.activeState = manager.startFails ? "failed" : "active";
        });
        return sd_bus_reply_method_return(message, "o", "/org/freedesktop/systemd1/job/1");
    }

    static int stopUnit(sd_bus_message* message, void* data, sd_bus_error*) {
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(message, "ss", &name, &mode);
        record(data, std::string("StopUnit ") + name + " " + mode,
               [](ScriptedManager& manager) { manager.activeState = "inactive"; });
        return sd_bus_reply_method_return(message, "o", "/org/freedesktop/systemd1/job/2");
    }

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

using testing::NoSettings;
using testing::settle;

TEST(InstallerSystemd, LinksEnablesStartsStopsAndDisablesTheUnit) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    ScriptedManager manager;
    std::string error;
    ASSERT_TRUE(manager.start(&error)) << error;

    const fs::path folder =
        fs::path(testing::PipeWireSessionEnvironment::directory()) / "installer-systemd";
    fs::create_directories(folder);
    const fs::path unitFile = folder / "orlenta-camera-extension.service";
    std::ofstream(unitFile) << "[Service]\nExecStart=/bin/true\n";

    ExtensionServiceOptions options;
    options.programPath = ORLENTA_EXTENSION_BINARY;
    options.unitFilePath = unitFile.string();
    auto service = SystemdExtensionService::connect(options, &error);
    ASSERT_TRUE(service) << error;
    ManualExecutor main;
    auto installer = ExtensionInstaller::create(service, main, std::make_shared<NoSettings>());

    installer->install();
    ASSERT_TRUE(settle(main, *installer));
    EXPECT_EQ(installer->message.get(),
              "Installed. You may need to restart your video app to see the camera.");
    const std::string name = "orlenta-camera-extension.service";
    const auto unitPathText = fs::canonical(unitFile).string();
    EXPECT_EQ(manager.takeCalls(),
              (std::vector<std::string>{"LoadUnit " + name,
                                        "LinkUnitFiles " + unitPathText + " persistent", "Reload",
                                        "EnableUnitFiles " + name, "Reload",
                                        "StartUnit " + name + " replace", "LoadUnit " + name}));

    // A known unit is not linked again.
    installer->install();
    ASSERT_TRUE(settle(main, *installer));
    auto calls = manager.takeCalls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& call) { return call.starts_with("Link"); }),
              0);

    installer->uninstall();
    ASSERT_TRUE(settle(main, *installer));
    EXPECT_EQ(installer->message.get(), "");
    EXPECT_EQ(manager.takeCalls(),
              (std::vector<std::string>{"LoadUnit " + name, "StopUnit " + name + " replace",
                                        "DisableUnitFiles " + name, "Reload"}));
    fs::remove_all(folder);
}

TEST(InstallerSystemd, ReportsTheUnitAndItsFailures) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    ScriptedManager manager;
    std::string error;
    ASSERT_TRUE(manager.start(&error)) << error;

    ExtensionServiceOptions options;
    options.programPath = ORLENTA_EXTENSION_BINARY;
    options.unitFilePath = testing::PipeWireSessionEnvironment::directory() + "/no-unit-file";
    auto service = SystemdExtensionService::connect(options, &error);
    ASSERT_TRUE(service) << error;
    ManualExecutor main;
    auto installer = ExtensionInstaller::create(service, main, std::make_shared<NoSettings>());

    // Unknown unit and no unit file beside the app.
    installer->install();
    ASSERT_TRUE(settle(main, *installer));
    EXPECT_EQ(installer->message.get(),
              "Move the app to your Applications folder, then try again.");

    // Properties: nothing for an unknown unit, then the unit's state.
    const auto none = testing::askProperties(*service, main);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    {
        std::lock_guard lock(manager.mutex);
        manager.known = true;
        manager.enabled = true;
        manager.activeState = "active";
    }
    const auto found = testing::askProperties(*service, main);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 1u);
    EXPECT_TRUE((*found)[0].isEnabled);
    EXPECT_TRUE((*found)[0].isActive);
    EXPECT_FALSE((*found)[0].isAwaitingUserApproval);

    // A unit that fails to start.
    {
        std::lock_guard lock(manager.mutex);
        manager.activeState = "inactive";
        manager.startFails = true;
    }
    installer->install();
    ASSERT_TRUE(settle(main, *installer));
    EXPECT_EQ(installer->message.get(),
              "Could not install: orlenta-camera-extension.service failed to start (see "
              "journalctl --user -u orlenta-camera-extension.service)");

    // The daemon's program missing: code 3 before anything is asked of systemd.
    options.programPath = testing::PipeWireSessionEnvironment::directory() + "/missing";
    auto noProgram = SystemdExtensionService::connect(options, &error);
    ASSERT_TRUE(noProgram);
    auto second = ExtensionInstaller::create(noProgram, main, std::make_shared<NoSettings>());
    manager.takeCalls();
    second->install();
    ASSERT_TRUE(settle(main, *second));
    EXPECT_EQ(second->message.get(), "Move the app to your Applications folder, then try again.");
    EXPECT_TRUE(manager.takeCalls().empty());
}

} // namespace
} // namespace orlenta

#include "app/install/extension_service_systemd.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include <systemd/sd-bus.h>

#include "app/install/extension_service_process.h"
#include "app/install/service_support.h"
#include "media/dispatch.h"

namespace orlenta {

using namespace install_support;

namespace {

constexpr const char* kManagerService = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr uint64_t kCallTimeoutMicroseconds = 5'000'000;
// A daemon that fails at once (no PipeWire) leaves the active state within this time.
constexpr double kSettleSeconds = 0.5;
constexpr double kStopTimeoutSeconds = 10.0;

// Owns one sd_bus_error and one sd_bus_message per call.
struct Call {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    ~Call() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
    std::string describe(int result) const {
        if (error.message && error.message[0])
            return error.message;
        return std::strerror(-result);
    }
};

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPointer = std::unique_ptr<sd_bus, BusDeleter>;

BusPointer openUserBus(std::string* error) {
    sd_bus* bus = nullptr;
    const int result = sd_bus_open_user(&bus);
    if (result < 0) {
        if (error)
            *error = std::string("cannot reach the user bus: ") + std::strerror(-result);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
    return BusPointer(bus);
}

// Appends the strings as a D-Bus string array.
int appendStrings(sd_bus_message* message, const std::vector<std::string>& strings) {
    int result = sd_bus_message_open_container(message, 'a', "s");
    for (const std::string& text : strings)
        if (result >= 0)
            result = sd_bus_message_append(message, "s", text.c_str());
    if (result >= 0)
        result = sd_bus_message_close_container(message);
    return result;
}

} // namespace

struct SystemdExtensionService::Impl {
    ExtensionServiceOptions options;
    BusPointer bus;
    std::atomic<bool> stopping{false};
    std::unique_ptr<SerialQueue> queue;

    std::string unitName() const { return std::string(kExtensionUnitName); }

    std::string unitFile() const {
        if (!options.unitFilePath.empty())
            return options.unitFilePath;
        const std::optional<std::string> folder = ownProgramFolder();
        if (!folder)
            return std::string();
        return *folder + "/../lib/systemd/user/" + unitName();
    }

    // The unit's object path (loading the unit if needed).
    std::optional<std::string> loadUnit(std::string* error) {
        Call call;
        const int result =
            sd_bus_call_method(bus.get(), kManagerService, kManagerPath, kManagerInterface,
                               "LoadUnit", &call.error, &call.reply, "s", unitName().c_str());
        const char* path = nullptr;
        if (result < 0 || sd_bus_message_read(call.reply, "o", &path) < 0 || !path) {
            if (error)
                *error = "the systemd user manager cannot load " + unitName() + ": " +
                         call.describe(result);
            return std::nullopt;
        }
        return std::string(path);
    }

    std::string unitProperty(const std::string& unitPath, const char* property) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        char* value = nullptr;
        const int result = sd_bus_get_property_string(bus.get(), kManagerService, unitPath.c_str(),
                                                      kUnitInterface, property, &error, &value);
        sd_bus_error_free(&error);
        std::string text = result >= 0 && value ? value : "";
        std::free(value);
        return text;
    }

    // Calls a manager method whose arguments are a string array and booleans; the reply is not
    // needed.
    bool callWithFiles(const char* method, const std::vector<std::string>& files,
                       std::initializer_list<int> flags, std::string* error) {
        sd_bus_message* message = nullptr;
        int result = sd_bus_message_new_method_call(bus.get(), &message, kManagerService,
                                                    kManagerPath, kManagerInterface, method);
        if (result >= 0)
            result = appendStrings(message, files);
        for (int flag : flags)
            if (result >= 0)
                result = sd_bus_message_append(message, "b", flag);
        Call call;
        if (result >= 0)
            result =
                sd_bus_call(bus.get(), message, kCallTimeoutMicroseconds, &call.error, &call.reply);
        sd_bus_message_unref(message);
        if (result < 0 && error)
            *error = std::string("the systemd user manager refused ") + method + " for " +
                     unitName() + ": " + call.describe(result);
        return result >= 0;
    }

    bool callSimple(const char* method, const char* signature, std::string* error,
                    const char* first = nullptr, const char* second = nullptr) {
        Call call;
        int result = 0;
        if (!signature)
            result = sd_bus_call_method(bus.get(), kManagerService, kManagerPath, kManagerInterface,
                                        method, &call.error, &call.reply, nullptr);
        else
            result = sd_bus_call_method(bus.get(), kManagerService, kManagerPath, kManagerInterface,
                                        method, &call.error, &call.reply, signature, first, second);
        if (result < 0 && error)
            *error = std::string("the systemd user manager refused ") + method + " for " +
                     unitName() + ": " + call.describe(result);
        return result >= 0;
    }

    void handle(const std::shared_ptr<ExtensionRequest>& request) {
        if (stopping)
            return;
        switch (request->kind()) {
        case ExtensionRequest::Kind::activation:
            activate(request);
            break;
        case ExtensionRequest::Kind::deactivation:
            deactivate(request);
            break;
        case ExtensionRequest::Kind::properties:
            reportProperties(request);
            break;
        }
    }

    void reportProperties(const std::shared_ptr<ExtensionRequest>& request) {
        std::string error;
        const std::optional<std::string> path = loadUnit(&error);
        if (!path) {
            postFail(request, {1, error});
            return;
        }
        std::vector<ExtensionProperties> found;
        if (unitProperty(*path, "LoadState") == "loaded") {
            ExtensionProperties properties;
            properties.programPath = daemonProgramPath(options).value_or(std::string());
            const std::string fileState = unitProperty(*path, "UnitFileState");
            properties.isEnabled = fileState == "enabled" || fileState == "enabled-runtime";
            properties.isActive = unitProperty(*path, "ActiveState") == "active";
            found.push_back(std::move(properties));
        }
        postProperties(request, std::move(found));
    }

    void activate(const std::shared_ptr<ExtensionRequest>& request) {
        if (auto problem = checkDaemonProgram(daemonProgramPath(options))) {
            postFail(request, std::move(*problem));
            return;
        }
        std::string error;
        std::optional<std::string> path = loadUnit(&error);
        if (!path) {
            postFail(request, {1, error});
            return;
        }
        if (unitProperty(*path, "LoadState") != "loaded") {
            const std::string file = unitFile();
            struct stat info {};
            if (file.empty() || ::stat(file.c_str(), &info) != 0) {
                postFail(request,
                         {kExtensionErrorWrongLocation,
                          "the unit file " + (file.empty() ? unitName() : file) + " is missing"});
                return;
            }
            char* resolved = ::realpath(file.c_str(), nullptr);
            const std::string absolute = resolved ? resolved : file;
            std::free(resolved);
            if (!callWithFiles("LinkUnitFiles", {absolute}, {false, true}, &error) ||
                !callSimple("Reload", nullptr, &error)) {
                postFail(request, {1, error});
                return;
            }
        }
        if (!callWithFiles("EnableUnitFiles", {unitName()}, {false, true}, &error) ||
            !callSimple("Reload", nullptr, &error) ||
            !callSimple("StartUnit", "ss", &error, unitName().c_str(), "replace")) {
            postFail(request, {1, error});
            return;
        }
        path = loadUnit(&error);
        if (!path) {
            postFail(request, {1, error});
            return;
        }
        if (auto problem = awaitActive(*path)) {
            postFail(request, std::move(*problem));
            return;
        }
        postFinish(request, kExtensionResultCompleted);
    }

    std::optional<ExtensionError> awaitActive(const std::string& unitPath) {
        const double end = monotonicNow() + options.startTimeoutSeconds;
        while (monotonicNow() < end && !stopping) {
            const std::string state = unitProperty(unitPath, "ActiveState");
            if (state == "failed")
                return ExtensionError{1, unitName() +
                                             " failed to start (see journalctl --user -u " +
                                             unitName() + ")"};
            if (state == "active") {
                sleepSeconds(kSettleSeconds);
                if (unitProperty(unitPath, "ActiveState") == "active")
                    return std::nullopt;
                return ExtensionError{1, unitName() +
                                             " stopped right after it started (see "
                                             "journalctl --user -u " +
                                             unitName() + ")"};
            }
            sleepSeconds(0.05);
        }
        return ExtensionError{1, unitName() + " did not start in time"};
    }

    void deactivate(const std::shared_ptr<ExtensionRequest>& request) {
        std::string error;
        const std::optional<std::string> path = loadUnit(&error);
        if (!path) {
            postFail(request, {1, error});
            return;
        }
        if (unitProperty(*path, "LoadState") != "loaded") {
            postFinish(request, kExtensionResultCompleted);
            return;
        }
        if (!callSimple("StopUnit", "ss", &error, unitName().c_str(), "replace") ||
            !callWithFiles("DisableUnitFiles", {unitName()}, {false}, &error) ||
            !callSimple("Reload", nullptr, &error)) {
            postFail(request, {1, error});
            return;
        }
        const double end = monotonicNow() + kStopTimeoutSeconds;
        while (monotonicNow() < end && !stopping) {
            const std::string state = unitProperty(*path, "ActiveState");
            if (state == "inactive" || state == "failed" || state.empty()) {
                postFinish(request, kExtensionResultCompleted);
                return;
            }
            sleepSeconds(0.05);
        }
        postFail(request, {1, unitName() + " did not stop in time"});
    }
};

std::shared_ptr<SystemdExtensionService>
SystemdExtensionService::connect(ExtensionServiceOptions options, std::string* error) {
    auto impl = std::make_shared<Impl>();
    impl->bus = openUserBus(error);
    if (!impl->bus)
        return nullptr;
    // Any manager call tells whether systemd answers on this bus.
    sd_bus_error callError = SD_BUS_ERROR_NULL;
    char* version = nullptr;
    const int result =
        sd_bus_get_property_string(impl->bus.get(), kManagerService, kManagerPath,
                                   kManagerInterface, "Version", &callError, &version);
    const std::string reason =
        callError.message ? callError.message : std::string(std::strerror(-result));
    sd_bus_error_free(&callError);
    std::free(version);
    if (result < 0) {
        if (error)
            *error = "no systemd user manager on the user bus: " + reason;
        return nullptr;
    }
    impl->options = std::move(options);
    impl->queue = std::make_unique<SerialQueue>("example.orlenta.camera.install");
    return std::shared_ptr<SystemdExtensionService>(new SystemdExtensionService(std::move(impl)));
}

SystemdExtensionService::SystemdExtensionService(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

SystemdExtensionService::~SystemdExtensionService() {
    impl_->stopping = true;
    impl_->queue.reset();
}

void SystemdExtensionService::submitRequest(std::shared_ptr<ExtensionRequest> request) {
    if (!request)
        return;
    std::weak_ptr<Impl> weak = impl_;
    impl_->queue->async([weak, request = std::move(request)] {
        if (auto impl = weak.lock())
            impl->handle(request);
    });
}

std::shared_ptr<ExtensionService> createPlatformExtensionService(ExtensionServiceOptions options) {
    std::string error;
    if (auto systemd = SystemdExtensionService::connect(options, &error))
        return systemd;
    return std::make_shared<ProcessExtensionService>(std::move(options));
}

} // namespace orlenta

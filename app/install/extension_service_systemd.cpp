#include "app/install/extension_service_systemd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include "app/install/extension_service_process.h"
#include "app/install/loopback_setup.h"
#include "app/install/service_support.h"
#include "media/dispatch.h"

namespace orlenta {

using namespace install_support;

namespace {

constexpr const char* kManagerService = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr uint64_t kCallTimeoutMicroseconds = 5'000'000;
// How often a wait for the manager's answer looks whether the service is being destroyed.
constexpr uint64_t kPollMicroseconds = 20'000;
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

struct MessageDeleter {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePointer = std::unique_ptr<sd_bus_message, MessageDeleter>;

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

// What the user's own unit folder held under the unit's name before the installer wrote there,
// so that a failed activation can put it back.
struct UnitFileBefore {
    enum class Kind { absent, file, link } kind = Kind::absent;
    std::string content; // the file's text, or the link's target
};

UnitFileBefore snapshotUnitFile(const std::string& path) {
    UnitFileBefore before;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return before;
    if (S_ISLNK(info.st_mode)) {
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length > 0) {
            target.resize(static_cast<size_t>(length));
            before.kind = UnitFileBefore::Kind::link;
            before.content = std::move(target);
        }
        return before;
    }
    if (const auto text = readWholeFile(path)) {
        before.kind = UnitFileBefore::Kind::file;
        before.content = *text;
    }
    return before;
}

void restoreUnitFile(const std::string& path, const UnitFileBefore& before) {
    switch (before.kind) {
    case UnitFileBefore::Kind::absent:
        ::unlink(path.c_str());
        break;
    case UnitFileBefore::Kind::file:
        writeFileAtomically(path, before.content, 0644, nullptr);
        break;
    case UnitFileBefore::Kind::link:
        ::unlink(path.c_str());
        [[maybe_unused]] const int linked = ::symlink(before.content.c_str(), path.c_str());
        break;
    }
}

int makeFolders(const std::string& folder) {
    std::string partial;
    size_t from = 1;
    while (from <= folder.size()) {
        const size_t slash = std::min(folder.find('/', from), folder.size());
        partial = folder.substr(0, slash);
        struct stat info {};
        if (::mkdir(partial.c_str(), 0755) != 0 &&
            (errno != EEXIST || ::stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
            return errno == EEXIST ? ENOTDIR : errno;
        from = slash + 1;
    }
    return 0;
}

} // namespace

struct SystemdExtensionService::Impl {
    ExtensionServiceOptions options;
    BusPointer bus;
    std::atomic<bool> stopping{false};
    std::unique_ptr<SerialQueue> queue;

    std::string unitName() const { return std::string(kExtensionUnitName); }

    // Where the installer writes the unit for a daemon that no installed unit runs.
    std::string unitFile() const {
        if (!options.unitFilePath.empty())
            return options.unitFilePath;
        const std::optional<std::string> folder = userUnitDirectory();
        return folder ? *folder + "/" + unitName() : std::string();
    }

    // Sends a method call and waits for its answer in short steps, so that destroying the
    // service never waits for a manager that is slow to answer. Negative on failure (the reason
    // in call.error), -ECANCELED when the service stops meanwhile.
    int send(sd_bus_message* message, Call& call) {
        struct Pending {
            bool done = false;
            sd_bus_message* reply = nullptr;
        } pending;
        sd_bus_slot* slot = nullptr;
        int result = sd_bus_call_async(
            bus.get(), &slot, message,
            [](sd_bus_message* reply, void* data, sd_bus_error*) {
                auto* waiting = static_cast<Pending*>(data);
                waiting->done = true;
                waiting->reply = sd_bus_message_ref(reply);
                return 0;
            },
            &pending, kCallTimeoutMicroseconds);
        if (result < 0)
            return result;
        while (!pending.done && result >= 0) {
            if (stopping) {
                result = -ECANCELED;
                break;
            }
            result = sd_bus_process(bus.get(), nullptr);
            if (result == 0)
                result = sd_bus_wait(bus.get(), kPollMicroseconds);
            if (result == -EINTR)
                result = 0;
        }
        sd_bus_slot_unref(slot);
        if (!pending.done)
            return result < 0 ? result : -EIO;
        call.reply = pending.reply;
        if (sd_bus_message_is_method_error(call.reply, nullptr)) {
            sd_bus_error_copy(&call.error, sd_bus_message_get_error(call.reply));
            const int code = sd_bus_error_get_errno(&call.error);
            return code > 0 ? -code : -EIO;
        }
        return 1;
    }

    MessagePointer newCall(const char* path, const char* interface, const char* method) {
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus.get(), &message, kManagerService, path, interface,
                                           method) < 0)
            return nullptr;
        return MessagePointer(message);
    }

    std::string refused(const char* method, const Call& call, int result) const {
        if (result == -ECANCELED)
            return "the app is quitting";
        return std::string("the systemd user manager refused ") + method + " for " + unitName() +
               ": " + call.describe(result);
    }

    // The unit's object path (loading the unit if needed).
    std::optional<std::string> loadUnit(std::string* error) {
        Call call;
        MessagePointer message = newCall(kManagerPath, kManagerInterface, "LoadUnit");
        int result =
            message ? sd_bus_message_append(message.get(), "s", unitName().c_str()) : -ENOMEM;
        if (result >= 0)
            result = send(message.get(), call);
        const char* path = nullptr;
        if (result < 0 || sd_bus_message_read(call.reply, "o", &path) < 0 || !path) {
            if (error)
                *error = result == -ECANCELED ? "the app is quitting"
                                              : "the systemd user manager cannot load " +
                                                    unitName() + ": " + call.describe(result);
            return std::nullopt;
        }
        return std::string(path);
    }

    // Reads one property of the unit into `call`, positioned at its variant.
    bool getProperty(const std::string& unitPath, const char* interface, const char* property,
                     Call& call) {
        MessagePointer message =
            newCall(unitPath.c_str(), "org.freedesktop.DBus.Properties", "Get");
        return message && sd_bus_message_append(message.get(), "ss", interface, property) >= 0 &&
               send(message.get(), call) >= 0;
    }

    std::string unitProperty(const std::string& unitPath, const char* property) {
        Call call;
        const char* value = nullptr;
        if (!getProperty(unitPath, kUnitInterface, property, call) ||
            sd_bus_message_read(call.reply, "v", "s", &value) < 0 || !value)
            return std::string();
        return value;
    }

    // The program the unit's first ExecStart runs; empty when the unit has none.
    std::string unitProgram(const std::string& unitPath) {
        Call call;
        const char* program = nullptr;
        if (!getProperty(unitPath, kServiceInterface, "ExecStart", call) ||
            sd_bus_message_enter_container(call.reply, 'v', "a(sasbttttuii)") < 0 ||
            sd_bus_message_enter_container(call.reply, 'a', "(sasbttttuii)") <= 0 ||
            sd_bus_message_enter_container(call.reply, 'r', "sasbttttuii") <= 0 ||
            sd_bus_message_read(call.reply, "s", &program) < 0 || !program)
            return std::string();
        return program;
    }

    // Calls a manager method whose arguments are a string array and booleans; the reply is not
    // needed.
    bool callWithFiles(const char* method, const std::vector<std::string>& files,
                       std::initializer_list<int> flags, std::string* error) {
        MessagePointer message = newCall(kManagerPath, kManagerInterface, method);
        int result = message ? appendStrings(message.get(), files) : -ENOMEM;
        for (int flag : flags)
            if (result >= 0)
                result = sd_bus_message_append(message.get(), "b", flag);
        Call call;
        if (result >= 0)
            result = send(message.get(), call);
        if (result < 0 && error)
            *error = refused(method, call, result);
        return result >= 0;
    }

    // Calls a manager method without arguments (Reload) or with the unit and a job mode.
    bool callSimple(const char* method, std::string* error, bool withUnit = false) {
        MessagePointer message = newCall(kManagerPath, kManagerInterface, method);
        int result = message ? 0 : -ENOMEM;
        if (result >= 0 && withUnit)
            result = sd_bus_message_append(message.get(), "ss", unitName().c_str(), "replace");
        Call call;
        if (result >= 0)
            result = send(message.get(), call);
        if (result < 0 && error)
            *error = refused(method, call, result);
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
            properties.programPath = unitProgram(*path);
            const std::string fileState = unitProperty(*path, "UnitFileState");
            properties.isEnabled = fileState == "enabled" || fileState == "enabled-runtime";
            properties.isActive = unitProperty(*path, "ActiveState") == "active";
            found.push_back(std::move(properties));
        }
        if (!stopping)
            postProperties(request, std::move(found));
    }

    // Activation: the unit must run the daemon beside the app. When the unit systemd knows runs
    // another program (or there is none), the unit is written into the user's unit folder, which
    // systemd reads before the system's. Then it is enabled and restarted, so that a daemon that
    // already ran (an older build) is replaced. A failure puts back what was changed.
    void activate(const std::shared_ptr<ExtensionRequest>& request) {
        const std::optional<std::string> program = daemonProgramPath(options);
        if (auto problem = checkDaemonProgram(program)) {
            postFail(request, std::move(*problem));
            return;
        }
        const std::string wanted = canonicalPath(*program);
        std::string error;
        std::optional<std::string> path = loadUnit(&error);
        if (!path) {
            fail(request, error);
            return;
        }
        const bool wasEnabled = unitProperty(*path, "UnitFileState") == "enabled";
        const bool known = unitProperty(*path, "LoadState") == "loaded";
        const std::string current = known ? unitProgram(*path) : std::string();

        std::optional<UnitFileBefore> written;
        const std::string file = unitFile();
        auto undo = [&](const std::string& reason) {
            // Back to how things were: the unit file, its enablement, the daemon stopped.
            if (written) {
                callSimple("StopUnit", nullptr, true);
                if (!wasEnabled)
                    callWithFiles("DisableUnitFiles", {unitName()}, {false}, nullptr);
                restoreUnitFile(file, *written);
                callSimple("Reload", nullptr);
            } else if (!wasEnabled) {
                callSimple("StopUnit", nullptr, true);
                callWithFiles("DisableUnitFiles", {unitName()}, {false}, nullptr);
            }
            fail(request, reason);
        };

        if (current.empty() || canonicalPath(current) != wanted) {
            if (file.empty()) {
                fail(request, "there is no folder for this user's systemd units (neither "
                              "XDG_CONFIG_HOME nor HOME is set)");
                return;
            }
            const std::string folder = file.substr(0, file.rfind('/'));
            if (const int code = makeFolders(folder)) {
                fail(request, "cannot create the folder " + folder +
                                  " for the unit file: " + std::strerror(code));
                return;
            }
            const UnitFileBefore before = snapshotUnitFile(file);
            // A link left by an earlier install points elsewhere: replace the link, not its
            // target.
            if (before.kind == UnitFileBefore::Kind::link)
                ::unlink(file.c_str());
            if (!writeFileAtomically(file, unitFileText(wanted), 0644, &error)) {
                restoreUnitFile(file, before);
                fail(request, "cannot write the unit file: " + error);
                return;
            }
            written = before;
            if (!callSimple("Reload", &error)) {
                undo(error);
                return;
            }
            path = loadUnit(&error);
            if (!path || unitProperty(*path, "LoadState") != "loaded") {
                undo(path ? "the systemd user manager does not load the unit file " + file : error);
                return;
            }
        }
        if (!callWithFiles("EnableUnitFiles", {unitName()}, {false, true}, &error) ||
            !callSimple("Reload", &error) || !callSimple("RestartUnit", &error, true)) {
            undo(error);
            return;
        }
        if (auto problem = awaitActive(*path)) {
            undo(problem->description);
            return;
        }
        finishActivation(request, options.loopback, stopping);
    }

    // Answers a failure unless the service is going away (then nobody listens).
    void fail(const std::shared_ptr<ExtensionRequest>& request, const std::string& reason) {
        if (!stopping)
            postFail(request, {1, reason});
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
                if (!sleepUnlessStopping(kSettleSeconds, stopping))
                    break;
                if (unitProperty(unitPath, "ActiveState") == "active")
                    return std::nullopt;
                return ExtensionError{1, unitName() +
                                             " stopped right after it started (see "
                                             "journalctl --user -u " +
                                             unitName() + ")"};
            }
            sleepUnlessStopping(0.05, stopping);
        }
        if (stopping)
            return ExtensionError{1, "the app is quitting"};
        return ExtensionError{1, unitName() + " did not start in time"};
    }

    void deactivate(const std::shared_ptr<ExtensionRequest>& request) {
        std::string error;
        const std::optional<std::string> path = loadUnit(&error);
        if (!path) {
            fail(request, error);
            return;
        }
        if (unitProperty(*path, "LoadState") != "loaded") {
            finishDeactivation(request, options.loopback, stopping);
            return;
        }
        if (!callSimple("StopUnit", &error, true) ||
            !callWithFiles("DisableUnitFiles", {unitName()}, {false}, &error)) {
            fail(request, error);
            return;
        }
        // A unit file the installer wrote goes too; one the user or a package put there stays.
        const std::string file = unitFile();
        if (const auto text = file.empty() ? std::nullopt : readWholeFile(file);
            text && isWrittenUnitFile(*text))
            ::unlink(file.c_str());
        if (!callSimple("Reload", &error)) {
            fail(request, error);
            return;
        }
        const double end = monotonicNow() + kStopTimeoutSeconds;
        while (monotonicNow() < end && !stopping) {
            const std::string state = unitProperty(*path, "ActiveState");
            if (state == "inactive" || state == "failed" || state.empty()) {
                finishDeactivation(request, options.loopback, stopping);
                return;
            }
            sleepUnlessStopping(0.05, stopping);
        }
        fail(request, unitName() + " did not stop in time");
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

#include "app/install/extension_service_process.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "app/install/detached_process.h"
#include "app/install/loopback_setup.h"
#include "app/install/service_support.h"
#include "camera_service/virtual_camera.h"
#include "media/dispatch.h"

namespace orlenta {

using namespace install_support;

namespace {

// A daemon that exits at once (no PipeWire, another instance won the lock) does so well within
// this time after taking its lock.
constexpr double kSettleSeconds = 0.5;
constexpr double kStopGraceSeconds = 5.0;
constexpr std::string_view kPidFileName = "orlenta-camera-extension.pid";

std::string errnoText() {
    return std::strerror(errno);
}

} // namespace

struct ProcessExtensionService::Impl {
    ExtensionServiceOptions options;
    std::string pidFile;
    std::string lockFile;
    std::atomic<bool> stopping{false};
    // Last: its destructor runs the request in progress while the fields above still exist.
    std::unique_ptr<SerialQueue> queue;

    // The daemon that runs now: the one in the pid file, else the holder of the lock.
    std::optional<pid_t> runningDaemon() const {
        if (!pidFile.empty())
            if (const auto pid = readPidFile(pidFile); pid && isDaemonProcess(*pid))
                return pid;
        if (!lockFile.empty())
            if (const auto pid = readPidFile(lockFile); pid && isDaemonProcess(*pid))
                return pid;
        return std::nullopt;
    }

    ExtensionProperties describe(pid_t pid) const {
        ExtensionProperties properties;
        properties.programPath = processProgram(pid).value_or(std::string());
        properties.isActive = true;
        properties.isEnabled = true;
        return properties;
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
        std::vector<ExtensionProperties> found;
        if (const auto pid = runningDaemon())
            found.push_back(describe(*pid));
        postProperties(request, std::move(found));
    }

    void activate(const std::shared_ptr<ExtensionRequest>& request) {
        const std::optional<std::string> program = daemonProgramPath(options);
        if (auto problem = checkDaemonProgram(program)) {
            postFail(request, std::move(*problem));
            return;
        }
        if (pidFile.empty()) {
            postFail(request, {1, "there is no runtime directory for this user (XDG_RUNTIME_DIR)"});
            return;
        }

        // A daemon that runs already is stopped first, so that the one running afterwards is
        // this app's own program (an update, or a daemon started from another build).
        if (const auto running = runningDaemon()) {
            ExtensionProperties existing = describe(*running);
            const std::string wanted = canonicalPath(*program);
            if (existing.programPath != wanted) {
                ExtensionProperties replacement;
                replacement.programPath = wanted;
                if (askReplacement(request, existing, replacement, stopping) !=
                    ExtensionReplacementAction::replace) {
                    if (!stopping)
                        postFail(request,
                                 {1, "another copy of the camera (" + existing.programPath +
                                         ") is running and was kept"});
                    return;
                }
            }
            std::string error;
            if (!stopProcess(*running, kStopGraceSeconds, &error, &stopping)) {
                if (!stopping)
                    postFail(request, {1, error});
                return;
            }
        }

        std::string error;
        const std::optional<pid_t> pid = spawnDetached({*program}, &error);
        if (!pid) {
            postFail(request, {1, error});
            return;
        }
        if (!writePidFile(pidFile, *pid, &error)) {
            stopProcess(*pid, kStopGraceSeconds, nullptr, &stopping);
            postFail(request, {1, error});
            return;
        }
        if (auto problem = awaitRunning(*pid)) {
            // Quitting meanwhile leaves the new daemon running: it was started to stay.
            if (stopping)
                return;
            stopProcess(*pid, kStopGraceSeconds, nullptr, &stopping);
            if (readPidFile(pidFile) == pid)
                ::unlink(pidFile.c_str());
            postFail(request, std::move(*problem));
            return;
        }
        finishActivation(request, options.loopback, stopping);
    }

    // Whether the daemon holds its single-instance lock; where /proc/locks cannot tell, the pid
    // it wrote into the lock file stands in.
    bool holdsItsLock(pid_t pid) const {
        const std::optional<bool> holds = holdsLock(pid, lockFile);
        return holds ? *holds : readPidFile(lockFile) == pid;
    }

    // Empty once the daemon holds its lock and still does kSettleSeconds later. A daemon that
    // cannot reach PipeWire gives its lock up as it exits.
    std::optional<ExtensionError> awaitRunning(pid_t pid) {
        const std::string stopped = std::string(kExtensionProgramName) +
                                    " stopped right after it started (is PipeWire running, or "
                                    "does another copy run?)";
        const double end = monotonicNow() + options.startTimeoutSeconds;
        while (monotonicNow() < end && !stopping) {
            if (!isDaemonProcess(pid))
                return ExtensionError{1, stopped};
            if (holdsItsLock(pid)) {
                const double settled = monotonicNow() + kSettleSeconds;
                while (monotonicNow() < settled && !stopping && isDaemonProcess(pid) &&
                       holdsItsLock(pid))
                    sleepSeconds(0.02);
                if (stopping)
                    break;
                if (isDaemonProcess(pid) && holdsItsLock(pid))
                    return std::nullopt;
                return ExtensionError{1, stopped};
            }
            sleepSeconds(0.02);
        }
        return ExtensionError{1, std::string(kExtensionProgramName) + " did not start in time"};
    }

    void deactivate(const std::shared_ptr<ExtensionRequest>& request) {
        if (const auto running = runningDaemon()) {
            std::string error;
            if (!stopProcess(*running, kStopGraceSeconds, &error, &stopping)) {
                if (!stopping)
                    postFail(request, {1, error});
                return;
            }
        }
        if (!pidFile.empty() && ::unlink(pidFile.c_str()) != 0 && errno != ENOENT) {
            postFail(request, {1, "cannot remove " + pidFile + ": " + errnoText()});
            return;
        }
        finishDeactivation(request, options.loopback, stopping);
    }
};

ProcessExtensionService::ProcessExtensionService(ExtensionServiceOptions options)
    : impl_(std::make_shared<Impl>()) {
    const std::optional<std::string> runtime = runtimeDirectory();
    impl_->pidFile = !options.pidFilePath.empty() ? options.pidFilePath
                     : runtime                    ? *runtime + "/" + std::string(kPidFileName)
                                                  : std::string();
    impl_->lockFile = virtual_camera::lockFilePath().value_or(std::string());
    impl_->options = std::move(options);
    impl_->queue = std::make_unique<SerialQueue>("example.orlenta.camera.install");
}

ProcessExtensionService::~ProcessExtensionService() {
    impl_->stopping = true;
    impl_->queue.reset();
}

void ProcessExtensionService::submitRequest(std::shared_ptr<ExtensionRequest> request) {
    if (!request)
        return;
    std::weak_ptr<Impl> weak = impl_;
    impl_->queue->async([weak, request = std::move(request)] {
        if (auto impl = weak.lock())
            impl->handle(request);
    });
}

std::string ProcessExtensionService::pidFilePath() const {
    return impl_->pidFile;
}

} // namespace orlenta

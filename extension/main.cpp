// orlenta-camera-extension: the virtual-camera daemon. It publishes the "Orlenta Camera" device
// on PipeWire, relays the app's frames to every reader and shows the placeholder while the app
// sends nothing. It reads no arguments, environment settings or files of its own.
//
// Exit status: 0 after SIGTERM, SIGINT or SIGHUP; 1 when PipeWire cannot be reached or is lost;
// 3 when another instance already runs in this session.
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "extension/extension_identity.h"
#include "extension/extension_log.h"
#include "extension/extension_provider_source.h"
#include "extension/instance_lock.h"
#include "extension/placeholder.h"
#include "extension/timer_queue.h"
#include "media/camera_service_pipewire.h"
#include "media/dispatch.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitAlreadyRunning = 3;

// Kept for the life of the process.
std::shared_ptr<orlenta::ExtensionProviderSource> processProvider;

// The logger writes to the journal, or to standard error where there is no journal. Someone
// who started the daemon in a terminal should see the message there as well.
void reportError(const std::string& message) {
    orlenta::extensionLogger().error(message);
    if (::isatty(STDERR_FILENO) && ::access("/run/systemd/journal/socket", F_OK) == 0)
        std::fprintf(stderr, "orlenta-camera-extension: %s\n", message.c_str());
}

} // namespace

int main() {
    using namespace orlenta;

    const std::optional<std::string> lockPath = InstanceLock::defaultPath();
    if (!lockPath) {
        reportError("no runtime directory of this user (XDG_RUNTIME_DIR); cannot run");
        return kExitFailure;
    }
    InstanceLock::Outcome outcome = InstanceLock::Outcome::failed;
    std::string message;
    const std::unique_ptr<InstanceLock> lock = InstanceLock::acquire(*lockPath, &outcome, &message);
    if (!lock) {
        reportError(message);
        return outcome == InstanceLock::Outcome::heldElsewhere ? kExitAlreadyRunning : kExitFailure;
    }

    // Signals are taken by one thread of their own; every thread made after this inherits the
    // mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    EventLoop mainLoop;
    std::thread([&mainLoop, signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        mainLoop.quit(0);
    }).detach();

    PipeWireConnectionOptions options;
    options.applicationName = "orlenta-camera-extension";
    options.onDisconnected = [&mainLoop](const std::string& reason) {
        reportError("lost the connection to PipeWire (" + reason + ")");
        mainLoop.quit(kExitFailure);
    };
    std::string error;
    std::shared_ptr<PipeWireCameraExtensionService> service =
        PipeWireCameraExtensionService::create(std::move(options), &error);
    if (!service) {
        reportError(error);
        return kExitFailure;
    }

    ExtensionDeviceSource::Environment environment;
    environment.service = service;
    environment.timerQueue = std::make_shared<SerialTimerQueue>(std::string(kTimerQueueLabel));
    processProvider = ExtensionProviderSource::create(environment, nullptr);
    if (!processProvider || !service->startService(processProvider->provider(), &error)) {
        reportError("could not publish the camera: " + error);
        return kExitFailure;
    }

    const int status = mainLoop.run();
    // The roles go first (their nodes with them), then the connection.
    processProvider.reset();
    environment = {};
    service.reset();
    releasePlaceholderFontCaches();
    return status;
}

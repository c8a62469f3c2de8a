// orlenta-camera-extension: the virtual-camera daemon. It publishes the "Orlenta Camera" device
// on PipeWire, relays the app's frames to every reader and shows the placeholder while the app
// sends nothing; the same pictures go to the V4L2 loopback device "Orlenta Camera" whenever one
// exists. It reads no arguments, environment settings or files of its own.
//
// Exit status: 0 after SIGTERM, SIGINT or SIGHUP; 1 when PipeWire cannot be reached or is lost;
// 3 when another instance already runs in this session. Started detached in a session of its own
// and not by systemd (the app's fallback where no user systemd runs), it does not exit when
// PipeWire is lost: nothing would start it again, so it waits for PipeWire and publishes the
// camera anew.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "camera_service/pipewire_extension_service.h"
#include "extension/extension_identity.h"
#include "extension/extension_log.h"
#include "extension/extension_provider_source.h"
#include "extension/instance_lock.h"
#include "extension/loopback_output.h"
#include "extension/placeholder.h"
#include "extension/timer_queue.h"
#include "media/dispatch.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitAlreadyRunning = 3;
// How often a daemon that outlives PipeWire asks for it again.
constexpr double kReconnectSeconds = 0.5;

// Kept for the life of the process (or until PipeWire is lost).
std::shared_ptr<orlenta::ExtensionProviderSource> processProvider;

// The logger writes to the journal, or to standard error where there is no journal. Someone
// who started the daemon in a terminal should see the message there as well.
void reportError(const std::string& message) {
    orlenta::extensionLogger().error(message);
    if (::isatty(STDERR_FILENO) && ::access("/run/systemd/journal/socket", F_OK) == 0)
        std::fprintf(stderr, "orlenta-camera-extension: %s\n", message.c_str());
}

// No service manager restarts this process: it runs in a session of its own (started detached)
// and systemd did not start it.
bool onItsOwn() {
    return ::getsid(0) == ::getpid() && std::getenv("INVOCATION_ID") == nullptr;
}

// The PipeWire connection and the published camera, made anew after PipeWire comes back.
class Publication {
public:
    Publication(orlenta::EventLoop& mainLoop, bool waitForPipeWire,
                std::shared_ptr<orlenta::FrameOutput> loopbackOutput)
        : mainLoop_(mainLoop), waitForPipeWire_(waitForPipeWire),
          loopbackOutput_(std::move(loopbackOutput)) {}

    // Connects and publishes the camera; false, with the reason, when that fails.
    bool start(std::string* error) {
        using namespace orlenta;
        PipeWireConnectionOptions options;
        options.applicationName = "orlenta-camera-extension";
        options.onDisconnected = [this](const std::string& reason) {
            reportError("lost the connection to PipeWire (" + reason + ")");
            if (!waitForPipeWire_) {
                mainLoop_.quit(kExitFailure);
                return;
            }
            mainLoop_.post([this] {
                unpublish();
                retryTimer_ = mainLoop_.scheduleTimer(kReconnectSeconds, true, [this] { retry(); });
            });
        };
        service_ = PipeWireCameraExtensionService::create(std::move(options), error);
        if (!service_)
            return false;
        ExtensionDeviceSource::Environment environment;
        environment.service = service_;
        environment.timerQueue = std::make_shared<SerialTimerQueue>(std::string(kTimerQueueLabel));
        environment.secondOutput = loopbackOutput_;
        processProvider = ExtensionProviderSource::create(environment, nullptr);
        if (!processProvider || !service_->startService(processProvider->provider(), error)) {
            *error = "could not publish the camera: " + *error;
            unpublish();
            return false;
        }
        return true;
    }

    void stop() {
        retryTimer_.reset();
        unpublish();
    }

private:
    // The roles go first (their nodes with them), then the connection; the connection's relay
    // counters go to the journal before it, to tell afterwards whether the app's frames arrived
    // and readers got them.
    void unpublish() {
        processProvider.reset();
        if (service_) {
            const auto s = service_->statistics();
            orlenta::extensionLogger().info(
                "unpublished; app frames received " + std::to_string(s.sinkFramesReceived) +
                " (replaced by newer " + std::to_string(s.sinkFramesDropped) + ", late " +
                std::to_string(s.sinkFramesStale) + ", malformed " +
                std::to_string(s.sinkFramesMalformed) + "), frames sent to readers " +
                std::to_string(s.framesSent) + " (not sent " + std::to_string(s.framesNotSent) +
                ")");
        }
        service_.reset();
    }

    // A tick of the retry timer while PipeWire is away; the timer goes once the camera is back
    // (from a closure of its own, not from inside its tick).
    void retry() {
        std::string error;
        if (service_ || !start(&error))
            return;
        orlenta::extensionLogger().info("PipeWire is back; the camera is published again");
        mainLoop_.post([this] { retryTimer_.reset(); });
    }

    orlenta::EventLoop& mainLoop_;
    const bool waitForPipeWire_;
    const std::shared_ptr<orlenta::FrameOutput> loopbackOutput_;
    std::shared_ptr<orlenta::PipeWireCameraExtensionService> service_;
    std::unique_ptr<orlenta::Timer> retryTimer_;
};

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
    // Joined before the loop it quits is gone, on every way out of main: woken by a SIGTERM of its
    // own when no signal came.
    struct SignalThread {
        std::thread thread;
        ~SignalThread() {
            pthread_kill(thread.native_handle(), SIGTERM);
            thread.join();
        }
    } signalThread{std::thread([&mainLoop, signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        mainLoop.quit(0);
    })};

    // Outlives every publication: the V4L2 device stays open while PipeWire comes and goes.
    const auto loopbackOutput = std::make_shared<LoopbackOutput>();
    loopbackOutput->start();
    Publication publication(mainLoop, onItsOwn(), loopbackOutput);
    std::string error;
    if (!publication.start(&error)) {
        reportError(error);
        return kExitFailure;
    }
    const int status = mainLoop.run();
    publication.stop();
    releasePlaceholderFontCaches();
    return status;
}

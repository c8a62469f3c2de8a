// The daemon's roles over the in-memory camera service, started, with time driven by hand: the
// service's queue is a ManualExecutor, the timer queue a ManualTimerQueue, and the host clock
// follows the timer queue's clock (offset so that host times are not zero).
#pragma once

#include <memory>

#include "extension/extension_device_source.h"
#include "extension/extension_provider_source.h"
#include "tests/testing/camera_service_memory.h"
#include "tests/testing/manual_timer_queue.h"

namespace orlenta::testing {

inline constexpr double kHostClockOffset = 1000;

struct DaemonFixture {
    explicit DaemonFixture(std::function<std::shared_ptr<PixelBuffer>()> placeholderMaker = {},
                           std::shared_ptr<FrameOutput> secondOutput = nullptr) {
        ExtensionDeviceSource::Environment environment;
        environment.service = service;
        environment.timerQueue = timers;
        environment.hostClock = [timers = timers] {
            return Time::fromSeconds(timers->now() + kHostClockOffset);
        };
        environment.placeholderMaker = std::move(placeholderMaker);
        environment.secondOutput = std::move(secondOutput);
        provider = ExtensionProviderSource::create(environment, nullptr);
        service->startService(provider->provider(), nullptr); // in memory, it always starts
    }

    ExtensionDeviceSource& device() { return *provider->deviceSource(); }
    std::shared_ptr<CameraExtensionStream> sourceStream() {
        return device().sourceStream()->stream();
    }
    std::shared_ptr<CameraExtensionStream> sinkStream() { return device().sinkStream()->stream(); }
    std::vector<MemoryCameraService::SentSample> takeSent() {
        return service->takeSentSamples(*sourceStream());
    }

    // Runs the service queue and whatever is due on the timer queue until nothing is left now.
    void pump() {
        while (serviceQueue.runPending() + timers->runDue() > 0) {
        }
    }
    // Moves time forward in steps, running the service queue between them, so completions and
    // ticks interleave as they would.
    void advance(double seconds, double step = 0.001) {
        const double end = timers->now() + seconds;
        pump();
        while (timers->now() + step <= end + 1e-12) {
            timers->advance(step);
            pump();
        }
        timers->advanceTo(end);
        pump();
    }

    ManualExecutor serviceQueue;
    std::shared_ptr<ManualTimerQueue> timers = std::make_shared<ManualTimerQueue>();
    std::shared_ptr<MemoryCameraService> service = MemoryCameraService::create(serviceQueue);
    std::shared_ptr<ExtensionProviderSource> provider;
};

} // namespace orlenta::testing

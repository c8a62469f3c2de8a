// An in-memory camera service: both sides of camera_service.h inside one process, for unit tests
// of the logic above them (the app's sink connection, the daemon's roles and relay).
//
// A device published through the extension side appears in the system side's device list, so an
// app-side writer and the daemon's roles meet here as they would through the real service. Tests
// can also add plain devices (any identifier, name and streams, with chosen failures), act as
// readers of a source stream and as writers of a sink stream, make sink requests fail, and look at
// everything that was sent.
//
// Threads: every member may be called from any thread. Nothing is called back synchronously: the
// sources and the consume completions run on the service queue given to create() (or on the
// provider's client queue for source calls, when one was given), and device-list listeners on
// their own executors. With a ManualExecutor as the service queue a test decides when they run.
//
// Ownership: create() answers a shared service; queues and framework objects it hands out hold it
// weakly and go quiet once it is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera_service/camera_service.h"

namespace orlenta {

class MemoryCameraService final : public CameraSystem,
                                  public CameraExtensionService,
                                  public std::enable_shared_from_this<MemoryCameraService> {
public:
    // serviceQueue must outlive the service.
    static std::shared_ptr<MemoryCameraService> create(Executor& serviceQueue);
    ~MemoryCameraService() override;
    MemoryCameraService(const MemoryCameraService&) = delete;
    MemoryCameraService& operator=(const MemoryCameraService&) = delete;

    // --- CameraSystem -------------------------------------------------------------------------
    std::vector<CameraObjectId> devices() const override;
    std::optional<std::string> deviceUniqueId(CameraObjectId device) const override;
    std::optional<std::string> deviceName(CameraObjectId device) const override;
    std::vector<CameraObjectId> deviceStreams(CameraObjectId device) const override;
    std::optional<uint32_t> streamDirection(CameraObjectId stream) const override;
    BufferQueueResult copyBufferQueue(CameraObjectId stream) override;
    CameraStatus startStream(CameraObjectId device, CameraObjectId stream) override;
    CameraStatus stopStream(CameraObjectId device, CameraObjectId stream) override;
    ListenerId addDeviceListListener(Executor& executor, Task listener) override;
    void removeDeviceListListener(ListenerId id) override;

    // --- CameraExtensionService ---------------------------------------------------------------
    std::shared_ptr<CameraExtensionProvider>
    makeProvider(std::weak_ptr<CameraExtensionProviderSource> source,
                 Executor* clientQueue) override;
    std::shared_ptr<CameraExtensionDevice>
    makeDevice(std::string localizedName, const Uuid& deviceId,
               std::optional<std::string> legacyDeviceId,
               std::weak_ptr<CameraExtensionDeviceSource> source) override;
    std::shared_ptr<CameraExtensionStream>
    makeStream(std::string localizedName, const Uuid& streamId, CameraStreamDirection direction,
               CameraStreamClockType clockType,
               std::weak_ptr<CameraExtensionStreamSource> source) override;
    // Publishes the provider's devices. A sink stream's queue capacity is asked of its source
    // here, once, on the calling thread (1 when it answers none).
    bool startService(const std::shared_ptr<CameraExtensionProvider>& provider,
                      std::string* errorMessage) override;

    // --- Test controls ------------------------------------------------------------------------

    // Every failure the system side can report, per stream of a plain device.
    struct PlainStream {
        uint32_t direction = kSystemStreamDirectionSink;
        CameraStatus copyBufferQueueStatus = kCameraStatusOk;
        // Copy succeeds but hands no queue (status 0 without a queue).
        bool copyGivesNoQueue = false;
        CameraStatus startStatus = kCameraStatusOk;
        int32_t queueCapacity = 1;
        // The direction read fails.
        bool directionUnreadable = false;
    };
    // Adds a device that no daemon stands behind: frames written to its sink streams stay in the
    // queue until takeQueued(). Absent identifier or name make those reads fail. Notifies the
    // device-list listeners. Answers the device's object id.
    CameraObjectId addPlainDevice(std::optional<std::string> uniqueId,
                                  std::optional<std::string> name,
                                  const std::vector<PlainStream>& streams);
    // Removes any device (also a published one, as when the daemon goes away); its streams stop
    // and their queues take nothing more. Notifies the listeners.
    void removeDevice(CameraObjectId device);
    // The object ids of a published device and stream, absent when not (or no longer) listed.
    std::optional<CameraObjectId> objectIdOfDevice(const Uuid& deviceId) const;
    std::optional<CameraObjectId> objectIdOfStream(const Uuid& streamId) const;
    // Makes every property read of the system side fail (answer absent or empty).
    void setPropertyReadsFail(bool fail);

    // How often start and stop were called for a stream through the system side.
    int startCount(CameraObjectId stream) const;
    int stopCount(CameraObjectId stream) const;
    // Takes the samples waiting in the latest queue of a stream (a plain device's, or a published
    // sink's that the daemon has not taken yet), oldest first.
    std::vector<std::shared_ptr<SampleBuffer>> takeQueued(CameraObjectId stream);

    // A new client of the service; the provider source is asked to connect it.
    CameraExtensionClientPtr connectClient(std::string description);
    // The client through which this process's system side writes (made on first use).
    CameraExtensionClientPtr appClient();
    // The client starts or stops a published stream: authorization, then start; or stop.
    void startClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                           const CameraExtensionClientPtr& client);
    void stopClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                          const CameraExtensionClientPtr& client);
    // The client writes a sample into a published sink stream (its own queue of the sink's
    // capacity). False when that queue is full. The app side writes through its queues instead.
    bool writeSample(const std::shared_ptr<CameraExtensionStream>& stream,
                     const CameraExtensionClientPtr& client, std::shared_ptr<SampleBuffer> sample);
    // The next n sink requests (of any stream) complete with an error instead of a buffer.
    void failNextConsumes(size_t n);
    // Sink requests waiting for a buffer.
    size_t pendingConsumeCount() const;
    // Sink requests made so far.
    size_t consumeRequestCount() const;

    struct SentSample {
        std::shared_ptr<SampleBuffer> sampleBuffer;
        uint32_t discontinuity = 0;
        uint64_t hostTimeInNanoseconds = 0;
    };
    // What was sent on a source stream, oldest first; the record empties.
    std::vector<SentSample> takeSentSamples(CameraExtensionStream& stream);
    std::vector<CameraExtensionScheduledOutput>
    scheduledOutputs(const CameraExtensionStream& stream) const;

    struct State;

private:
    explicit MemoryCameraService(Executor& serviceQueue);
    std::shared_ptr<State> state_;
};

} // namespace orlenta

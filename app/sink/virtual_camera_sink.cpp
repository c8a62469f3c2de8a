#include "app/sink/virtual_camera_sink.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "camera_service/virtual_camera.h"
#include "media/media_time.h"
#include "media/sample_buffer.h"
#include "media/thread_check.h"

namespace orlenta {

namespace {

// What the sink's thread checks name as the expected thread.
[[maybe_unused]] constexpr const char* kVideoQueue = "the sink's serial queue (the video queue)";

} // namespace

std::shared_ptr<VirtualCameraSink> VirtualCameraSink::create(std::shared_ptr<CameraSystem> system,
                                                             Executor& mainExecutor,
                                                             MediaClock clock) {
    if (!system)
        return nullptr;
    std::shared_ptr<VirtualCameraSink> sink(
        new VirtualCameraSink(std::move(system), mainExecutor, std::move(clock)));
    // The listener outlives nothing it points to: it holds the sink weakly and the destructor
    // removes it, so the system never calls into a main executor that has gone.
    std::weak_ptr<VirtualCameraSink> weak = sink;
    sink->listenerId_ =
        sink->system_->addDeviceListListener(mainExecutor, [weak, log = sink->log_] {
            log.info("The list of devices changed.");
            const std::shared_ptr<VirtualCameraSink> self = weak.lock();
            if (!self || !self->onDevicesChanged_)
                return;
            // A copy, so that the callback may replace itself.
            const Task callback = self->onDevicesChanged_;
            callback();
        });
    return sink;
}

VirtualCameraSink::VirtualCameraSink(std::shared_ptr<CameraSystem> system, Executor& mainExecutor,
                                     MediaClock clock)
    : system_(std::move(system)), main_(mainExecutor),
      clock_(clock ? std::move(clock) : MediaClock(currentMediaTime)),
      log_(std::string(kLogSubsystem), std::string(kLogCategory)) {}

VirtualCameraSink::~VirtualCameraSink() {
    system_->removeDeviceListListener(listenerId_);
    // The daemon should see the writer leave now rather than whenever the queue is freed.
    if (queue_)
        system_->stopStream(deviceId_, sinkStreamId_);
}

void VirtualCameraSink::setOnDevicesChanged(Task callback) {
    ORLENTA_ASSERT_ON_EXECUTOR(main_);
    onDevicesChanged_ = std::move(callback);
}

bool VirtualCameraSink::isVirtualCamera(CameraObjectId device) const {
    if (const std::optional<std::string> uniqueId = system_->deviceUniqueId(device);
        uniqueId && *uniqueId == virtual_camera::kDeviceId)
        return true;
    const std::optional<std::string> name = system_->deviceName(device);
    return name && *name == virtual_camera::kDeviceName;
}

std::optional<CameraObjectId> VirtualCameraSink::findDevice() const {
    for (const CameraObjectId device : system_->devices())
        if (isVirtualCamera(device))
            return device;
    return std::nullopt;
}

bool VirtualCameraSink::connect() {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    const std::optional<CameraObjectId> device = findDevice();

    if (queue_) {
        if (device && *device == deviceId_) {
            const std::vector<CameraObjectId> streams = system_->deviceStreams(*device);
            if (std::find(streams.begin(), streams.end(), sinkStreamId_) != streams.end())
                return true;
        }
        log_.info("Virtual camera changed. Connecting again.");
        disconnect();
    }
    if (!device)
        return false;

    for (const CameraObjectId stream : system_->deviceStreams(*device)) {
        const std::optional<uint32_t> direction = system_->streamDirection(stream);
        if (!direction || *direction != kSystemStreamDirectionSink)
            continue;
        // The first stream that takes frames is the sink stream; no later one is tried.
        BufferQueueResult copied = system_->copyBufferQueue(stream);
        if (copied.status != kCameraStatusOk || !copied.queue) {
            log_.error("Cannot open a PipeWire stream to the virtual camera's sink: status " +
                       std::to_string(copied.status));
            return false;
        }
        const CameraStatus started = system_->startStream(*device, stream);
        if (started != kCameraStatusOk) {
            log_.error("Cannot start the PipeWire stream to the virtual camera's sink: status " +
                       std::to_string(started));
            return false;
        }
        deviceId_ = *device;
        sinkStreamId_ = stream;
        fullSince_.reset();
        queue_ = std::move(copied.queue);
        log_.info("Connected to the sink stream " + std::to_string(stream) + " of device " +
                  std::to_string(*device) + ".");
        return true;
    }
    return false;
}

void VirtualCameraSink::send(const std::shared_ptr<PixelBuffer>& frame) {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    if (!queue_)
        return;
    if (queue_->count() < queue_->capacity()) {
        fullSince_.reset();
        if (!frame)
            return;
        const std::optional<VideoFormatDescription> format =
            VideoFormatDescription::forImageBuffer(*frame);
        if (!format)
            return;
        SampleTiming timing;
        timing.presentationTime = hostClockTime();
        std::shared_ptr<SampleBuffer> sample = SampleBuffer::createReady(frame, *format, timing);
        if (!sample)
            return;
        // A refused sample comes back to nobody: the queue takes the only other reference to the
        // buffer or lets it go with the sample, so the buffer returns to its pool either way.
        queue_->enqueue(std::move(sample));
        return;
    }

    const double now = clock_();
    if (!fullSince_) {
        fullSince_ = now;
        return;
    }
    if (now - *fullSince_ <= kLongestFullSeconds)
        return;
    log_.info("The extension does not take frames. Connecting again.");
    disconnect();
}

bool VirtualCameraSink::isConnected() const {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    return queue_ != nullptr;
}

CameraObjectId VirtualCameraSink::deviceId() const {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    return deviceId_;
}

CameraObjectId VirtualCameraSink::sinkStreamId() const {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    return sinkStreamId_;
}

std::optional<double> VirtualCameraSink::fullSince() const {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    return fullSince_;
}

void VirtualCameraSink::disconnect() {
    ORLENTA_ASSERT_BOUND(videoQueue_, kVideoQueue);
    if (!queue_)
        return;
    system_->stopStream(deviceId_, sinkStreamId_);
    queue_.reset();
    fullSince_.reset();
}

} // namespace orlenta

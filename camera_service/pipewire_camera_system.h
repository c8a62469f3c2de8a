// The camera service over PipeWire, the app's side: the device list read from the PipeWire
// registry, and buffer queues that write into a sink node (see pipewire_service.h for how the
// service maps onto PipeWire).
//
// Threads: the system object and every queue run on PipeWire thread loops (a queue on the loop of
// the connection it was made on); registry callbacks only update the device list and post the
// listeners. Frames are handed to the loop thread through a one-frame slot and an event, never by
// taking the loop lock per frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "camera_service/camera_service.h"
#include "camera_service/pipewire_service.h"

namespace orlenta {

// The app's side. When PipeWire goes away (stops or restarts) its device list empties and the
// device-list listeners hear of it; it then tries to connect again every quarter of a second and,
// once PipeWire answers, lists the devices anew (listeners hear of each). Queues made before the
// loss stay on the old connection and take no more frames: the caller opens a new one.
class PipeWireCameraSystem final : public CameraSystem {
public:
    // Null, with the reason, when PipeWire cannot be reached at first.
    static std::shared_ptr<PipeWireCameraSystem> create(PipeWireConnectionOptions options,
                                                        std::string* errorMessage);
    ~PipeWireCameraSystem() override;
    PipeWireCameraSystem(const PipeWireCameraSystem&) = delete;
    PipeWireCameraSystem& operator=(const PipeWireCameraSystem&) = delete;

    std::vector<CameraObjectId> devices() const override;
    std::optional<std::string> deviceUniqueId(CameraObjectId device) const override;
    std::optional<std::string> deviceName(CameraObjectId device) const override;
    std::vector<CameraObjectId> deviceStreams(CameraObjectId device) const override;
    std::optional<uint32_t> streamDirection(CameraObjectId stream) const override;
    // The queue takes 1280 x 720 BGRA frames (others are refused). Queues made here keep working
    // (dropping frames) after the system object is gone.
    BufferQueueResult copyBufferQueue(CameraObjectId stream) override;
    // Connects the stream's latest queue to the sink node (not-ready without a queue). Linking
    // happens shortly after; until then the queue counts as full.
    CameraStatus startStream(CameraObjectId device, CameraObjectId stream) override;
    CameraStatus stopStream(CameraObjectId device, CameraObjectId stream) override;
    ListenerId addDeviceListListener(Executor& executor, Task listener) override;
    void removeDeviceListListener(ListenerId id) override;

    // Counters of every queue made here, since creation, for diagnostics and tests.
    struct Statistics {
        uint64_t framesShared = 0;   // sent in the pixel buffer's own memory, without a copy
        uint64_t framesCopied = 0;   // copied into a buffer of the queue's own
        uint64_t framesNotSent = 0;  // taken by enqueue() but no buffer was free by then
        uint64_t renegotiations = 0; // buffer sets renegotiated to carry a new pixel buffer
    };
    Statistics statistics() const;

    struct Impl;

private:
    explicit PipeWireCameraSystem(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta

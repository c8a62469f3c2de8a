// The camera service over PipeWire, the daemon's side: the framework objects that publish the
// daemon's device and streams as PipeWire nodes and call the daemon's roles back (see
// pipewire_service.h for how the service maps onto PipeWire).
//
// Threads: the object runs a PipeWire thread loop of its own, whose callbacks only move data
// between PipeWire buffers and pixel buffers and hand the result to the service queue (a serial
// queue of its own); the roles are called on their client queue. Frames to send are handed to
// the loop thread through a one-frame slot and an event, never by taking the loop lock per frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "camera_service/camera_service.h"
#include "camera_service/pipewire_service.h"

namespace orlenta {

// The daemon's side.
class PipeWireCameraExtensionService final : public CameraExtensionService {
public:
    // Connects to the PipeWire of this session (XDG_RUNTIME_DIR / PIPEWIRE_RUNTIME_DIR). Null,
    // with the reason in errorMessage, when PipeWire cannot be reached.
    static std::shared_ptr<PipeWireCameraExtensionService> create(PipeWireConnectionOptions options,
                                                                  std::string* errorMessage);
    // Removes the nodes and disconnects. Sources are not called any more once it returns.
    ~PipeWireCameraExtensionService() override;
    PipeWireCameraExtensionService(const PipeWireCameraExtensionService&) = delete;
    PipeWireCameraExtensionService& operator=(const PipeWireCameraExtensionService&) = delete;

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
    // Creates one node per stream of the provider's devices (asking each stream source for its
    // formats on the calling thread). False when a node cannot be created.
    bool startService(const std::shared_ptr<CameraExtensionProvider>& provider,
                      std::string* errorMessage) override;

    // Counters since start, for diagnostics and tests.
    struct Statistics {
        uint64_t framesSent = 0;            // written to the source node
        uint64_t framesNotSent = 0;         // no reader buffer free, not streaming, wrong size
        uint64_t sinkFramesReceived = 0;    // taken from the sink node
        uint64_t sinkFramesDropped = 0;     // replaced by a newer one before anyone asked
        uint64_t sinkFramesStale = 0;       // older than two frame periods when asked for
        uint64_t sinkFramesMalformed = 0;   // too small or unmapped buffers
        uint64_t lastScheduledSequence = 0; // the last scheduled-output notification
        uint64_t copiesSaved = 0;           // frames a buffer of the node held already
    };
    Statistics statistics() const;

    struct Impl;

private:
    explicit PipeWireCameraExtensionService(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace orlenta

// The camera service over PipeWire: the daemon side publishes the virtual camera as PipeWire
// nodes, the app side finds those nodes and writes into the sink node.
//
// How the service maps onto PipeWire:
//   - A device is the set of nodes that carry its identifier. Each published stream is one node
//     named "orlenta-camera.<device id>.<stream id>" (identifiers in canonical upper-case form),
//     so that any client can tell device and stream from the registry alone; node.nick holds the
//     device's name, and the custom properties orlenta.device.id and orlenta.stream.id repeat the
//     identifiers for clients that bind the node.
//   - A source stream is a driver output node: media.class "Video/Source", media.role "Camera",
//     node.description the device's name (what camera pickers show), offering its one size and
//     rate as two fixed formats, BGRA and BGRx (which share a memory layout), one EnumFormat
//     entry each. Every link from it to a reader is one client that starts the stream; the
//     link's removal stops it.
//   - A sink stream is an input node, media.class "Video/Sink", taking exactly its format. It
//     takes one writer at a time: the holder keeps it while it sends; a link from another writer
//     is removed at once, unless the holder has sent nothing for 0.5 s, in which case the holder's
//     link is removed and the newcomer holds the node. A frame is handed to a sink request only
//     if it is no older than two frame periods by then (a writer that stalled and resumed must
//     not show a stale picture); older frames are dropped.
//   - The app's buffer queue is an output stream (media.class "Stream/Output/Video") that drives
//     its own graph and targets the sink node; WirePlumber links it, exclusively (node.exclusive),
//     so that the session manager links no other writer to the node beside it. The queue holds one
//     frame; it counts as full while the link is not up or two frames are still out with the
//     daemon.
//   - The app's frames travel without a copy: the queue's stream carries the memfds of the app's
//     own pixel buffers, so the daemon maps the memory the frame was rendered into. A pixel buffer
//     joins the stream's set of buffers when the queue sees it for the second time (a pool
//     recycles its buffers); until then, and for buffers never seen again, the frame is copied.
//     A frame sent without a copy keeps its pixel buffer from its pool until the daemon has
//     given it back and a tenth of a second has passed since it was sent.
//   - Frames cross the process boundary in memfd shared memory; the sample's presentation time
//     travels in the buffer's header (CLOCK_MONOTONIC nanoseconds, which both processes share).
//
// Threads: each object runs a PipeWire thread loop of its own. PipeWire's callbacks only move data
// between PipeWire buffers and pixel buffers and hand the result to a serial queue; nothing else
// runs on the loop thread. Frames are handed to the loop thread through a small slot and an
// event, never by taking the loop lock per frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "camera_service/camera_service.h"

namespace orlenta {

// What a PipeWire connection needs to know; every field may stay empty.
struct PipeWireConnectionOptions {
    // The client's application name in PipeWire.
    std::string applicationName;
    // The daemon's side only: called once, on its service queue, when the connection to
    // PipeWire is lost (PipeWire stopped or restarted). Its nodes are gone then and it does not
    // reconnect: make a new object. The app's side never calls it: it connects again by itself.
    std::function<void(const std::string& reason)> onDisconnected;
};

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

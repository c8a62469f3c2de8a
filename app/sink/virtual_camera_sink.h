// VirtualCameraSink: the app's end of the link to the virtual camera.
//
// The virtual-camera daemon publishes a device ("Orlenta Camera") with a sink stream that takes
// the app's frames. The sink finds that device in the camera service's device list (by its unique
// identifier virtual_camera::kDeviceId, matched exactly, or else by its name
// virtual_camera::kDeviceName), opens the first stream whose direction is 0, and hands every
// covered output frame to that stream's buffer queue without copying it. It never waits for the
// daemon: while the queue is full frames are dropped, and a queue that stays full for more than
// kLongestFullSeconds is taken as a stalled link and closed. The sink holds no timer and never
// reconnects by itself; its owner calls connect() periodically (and when onDevicesChanged fires)
// and send() once per frame.
//
// States: disconnected (no queue) -> connect() succeeds -> connected, flowing -> send() finds the
// queue full -> connected, stalled -> room again: flowing; full for too long: disconnected. A
// connect() that finds the device gone, replaced or without the sink stream closes the link and
// tries afresh in the same call.
//
// Log: subsystem "example.orlenta.camera", category "sink"; info for state changes, error for
// failed service calls. Nothing else reaches the user; connect()'s result is the only answer.
//
// Ownership: created as a std::shared_ptr and shared with the pipeline; it shares the camera
// system with whoever made it. The device-list listener it registers holds only a weak reference
// to it. Destroying the sink removes that listener and stops a stream it still has open.
//
// Threads: connect(), send(), disconnect() and the accessors run on one serial queue (the
// pipeline's video queue) and take no locks; with thread checks on, the first of them binds the
// sink to its thread and a later call from another thread aborts. setOnDevicesChanged() and the
// callback itself run on the main executor given at creation, which must outlive the sink.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "app/pipeline/frame_sinks.h"
#include "camera_service/camera_service.h"
#include "media/dispatch.h"
#include "media/log.h"
#include "media/pixel_buffer.h"
#include "media/thread_check.h"

namespace orlenta {

class VirtualCameraSink final : public FrameSink,
                                public std::enable_shared_from_this<VirtualCameraSink> {
public:
    // The longest time the queue may stay full before the link is closed.
    static constexpr double kLongestFullSeconds = 2.0;
    static constexpr std::string_view kLogSubsystem = "example.orlenta.camera";
    static constexpr std::string_view kLogCategory = "sink";

    // Seconds of the host media clock (CLOCK_MONOTONIC); used to time a full queue.
    using MediaClock = std::function<double()>;

    // Registers the device-list listener on mainExecutor. Null when system is null. clock
    // defaults to currentMediaTime(); tests pass their own.
    static std::shared_ptr<VirtualCameraSink> create(std::shared_ptr<CameraSystem> system,
                                                     Executor& mainExecutor, MediaClock clock = {});
    ~VirtualCameraSink() override;
    VirtualCameraSink(const VirtualCameraSink&) = delete;
    VirtualCameraSink& operator=(const VirtualCameraSink&) = delete;

    // Video queue. Looks the device up afresh; keeps a link whose device and sink stream are
    // still listed, otherwise opens one. True when connected after the call.
    bool connect() override;
    // Video queue. Offers one 1280 x 720 BGRA output frame to the daemon, stamped with the host
    // clock's time now. Ignored without a link; dropped while the queue is full or when no sample
    // can be made of it. Never waits. The queue keeps a reference to the buffer until the daemon
    // has taken the frame; no other reference is kept.
    void send(const std::shared_ptr<PixelBuffer>& frame) override;
    // Video queue. Stops the stream and lets the queue go; nothing without a link.
    void disconnect();

    // Main thread. Called on the main thread after each change of the system's device list, after
    // the line "The list of devices changed." is logged. An empty callback clears it.
    void setOnDevicesChanged(Task callback) override;

    // Video queue. Whether a queue is held, and the ids of the last connection (meaningful only
    // while connected; 0 before the first).
    bool isConnected() const;
    CameraObjectId deviceId() const;
    CameraObjectId sinkStreamId() const;
    // When the queue was first found full in the current run of full findings.
    std::optional<double> fullSince() const;

private:
    VirtualCameraSink(std::shared_ptr<CameraSystem> system, Executor& mainExecutor,
                      MediaClock clock);
    std::optional<CameraObjectId> findDevice() const;
    bool isVirtualCamera(CameraObjectId device) const;

    const std::shared_ptr<CameraSystem> system_;
    Executor& main_;
    const MediaClock clock_;
    const Logger log_;
    CameraSystem::ListenerId listenerId_ = 0;

    // Video queue: the thread of the first video-queue member called, checked on every later one.
    [[no_unique_address]] ThreadBinding videoQueue_;
    CameraObjectId deviceId_ = 0;
    CameraObjectId sinkStreamId_ = 0;
    std::shared_ptr<SinkBufferQueue> queue_;
    std::optional<double> fullSince_;

    // Main thread.
    Task onDevicesChanged_;
};

} // namespace orlenta

// Cameras as the pipeline sees them: a list of capture devices with arrival and removal
// notifications, the camera access status, and capture sessions that deliver BGRA frames.
//
// The pipeline's selection logic depends only on these interfaces. The GStreamer implementation
// (capture_gstreamer.h) finds real cameras, the demo clip and PipeWire camera nodes; the tests'
// in-memory one (tests/testing/capture_memory.h) scripts devices, access answers and frames.
//
// Ownership: a CaptureSystem is shared (std::shared_ptr) by whoever made it and the pipeline.
// Sessions are shared too; a session keeps what it needs of its system alive by itself.
//
// Threads: CaptureSystem's queries may be called from any thread. Device observers run on the
// main executor given to the system. A session's members are called on the video queue (the
// FrameSource rule), and it delivers frames on the queue given to setFrameHandler().
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/capture/frame_source.h"

namespace orlenta {

enum class CaptureDeviceType {
    // A camera built into the machine (a laptop's lid camera, a phone-like front camera).
    builtInWideAngleCamera,
    // Anything else: a USB webcam, a capture card, a camera that only PipeWire knows.
    external,
};

struct CaptureDevice {
    // Stable for one physical camera: the same after re-plugging it into the same port (or any
    // port when the system reports a serial number).
    std::string uniqueID;
    // The name to show the user.
    std::string localizedName;
    // What kind of camera this is (vendor and product, or the driver's card name).
    std::string modelID;
    CaptureDeviceType deviceType = CaptureDeviceType::external;

    friend bool operator==(const CaptureDevice&, const CaptureDevice&) = default;
};

// Camera access, numbered as the platforms number it.
enum class AuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
};

// A capture session: one input (a camera) at a time, delivering its frames to the frame handler
// as BGRA SampleBuffers of the camera's own size. While the handler's queue is busy, newer frames
// replace older ones: the handler always gets the newest frame. All members run on the video
// queue.
class CaptureSession : public FrameSource {
public:
    // Replaces the input by the given camera. False when it cannot be opened (unknown, busy,
    // gone): the session is then left without input and delivers nothing. The running state is
    // kept: a running session goes on with the new camera, a stopped one stays stopped.
    virtual bool setInput(const CaptureDevice& device) = 0;
    virtual void removeInput() = 0;
    // The uniqueID of the current input.
    virtual std::optional<std::string> inputDeviceID() const = 0;
};

class CaptureSystem {
public:
    enum class DeviceEvent { connected, disconnected };
    using DeviceObserver = std::function<void(DeviceEvent, const CaptureDevice&)>;
    using AccessHandler = std::function<void(bool granted)>;

    virtual ~CaptureSystem() = default;

    // Every camera there is, in discovery order, one entry per physical camera. Includes the
    // app's own virtual camera if the platform lists it: leaving it out is the pipeline's rule.
    virtual std::vector<CaptureDevice> devices() const = 0;
    virtual std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) const = 0;

    // Observers are called on the main executor after the change is visible in devices(). The
    // returned token removes the observer; after removeDeviceObserver() returns on the main
    // thread it is not called again.
    virtual size_t addDeviceObserver(DeviceObserver observer) = 0;
    virtual void removeDeviceObserver(size_t token) = 0;

    // The current access status. Cheap enough for the main thread.
    virtual AuthorizationStatus authorizationStatus() = 0;
    // Asks for access; the answer arrives once, on any thread.
    virtual void requestAccess(AccessHandler handler) = 0;

    // A new session without input, stopped.
    virtual std::shared_ptr<CaptureSession> makeSession() = 0;
};

} // namespace orlenta

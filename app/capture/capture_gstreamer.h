// The capture system on GStreamer: cameras from GStreamer's device providers (PipeWire camera
// nodes and V4L2 devices, one entry per physical camera), an optional demo camera that plays the
// bundled clip, and capture sessions whose pipelines end in an appsink that hands the newest BGRA
// frame to the video queue.
//
// Discovery is shared by every system of the process; its device providers are never stopped
// (stopping Debian 12's PipeWire device provider can abort the process). When PipeWire starts
// late or restarts, a new PipeWire provider with a connection of its own takes over, since the
// old one never reconnects.
//
// Access: authorized when the machine's video devices can be opened (or there are none), denied
// when opening them is refused for want of permission, restricted when it is refused by policy
// (EPERM). There is no prompt: asking again re-checks. With the demo camera on, access is
// always authorized, since the clip can always be shown.
//
// Sessions: each camera is opened in the mode chooseCaptureMode() picks from its caps (pinned in
// caps right after the source); MJPEG is decoded by jpegdec on GStreamer's thread; raw pictures
// reach the appsink as the camera sends them (videoconvert steps in only for layouts
// convertCameraPicture does not know). While the video queue is busy the appsink keeps only the
// newest frame. On the video queue that frame is converted straight into a BGRA buffer of a pool of
// the camera's size and handed to the frame handler. A camera that delivers nothing within the
// first-frame timeout after it was opened, or whose pipeline fails, is opened again (with growing
// pauses) while the session runs.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/capture/capture.h"

namespace orlenta {

struct GStreamerCaptureOptions {
    // Lists the demo clip as the first camera when set (the app's --demo).
    std::optional<std::string> demoClipPath;
    // Whether real cameras are discovered at all (off: only the demo, for tests and demos).
    bool discoverCameras = true;
    // Seconds a newly opened camera may take to deliver its first frame.
    double firstFrameTimeout = 3.0;
};

class GStreamerCaptureSystem final : public CaptureSystem {
public:
    // Absent (with the reason in *error) when GStreamer or a plugin it needs is missing.
    static std::shared_ptr<GStreamerCaptureSystem>
    create(Executor& mainExecutor, GStreamerCaptureOptions options, std::string* error = nullptr);
    ~GStreamerCaptureSystem() override;
    GStreamerCaptureSystem(const GStreamerCaptureSystem&) = delete;
    GStreamerCaptureSystem& operator=(const GStreamerCaptureSystem&) = delete;

    std::vector<CaptureDevice> devices() const override;
    std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) const override;
    size_t addDeviceObserver(DeviceObserver observer) override;
    void removeDeviceObserver(size_t token) override;
    AuthorizationStatus authorizationStatus() override;
    void requestAccess(AccessHandler handler) override;
    std::shared_ptr<CaptureSession> makeSession() override;

    // The demo camera's identity.
    static constexpr const char* kDemoUniqueID = "demo:orlenta-demo";
    static constexpr const char* kDemoName = "Orlenta Demo Clip";

    struct Impl;

private:
    explicit GStreamerCaptureSystem(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

// The bundled demo clip: in the installed data (installedDataDirectories()), else in the source
// tree; absent when neither exists.
std::optional<std::string> findDemoClip();

// One way a camera delivers pictures, as its caps offer it.
struct CaptureMode {
    bool mjpeg = false;
    // The raw pixel format ("YUY2", "NV12", ...); empty for MJPEG or when the caps leave it open.
    std::string rawFormat;
    int width = 0;
    int height = 0;
    // The highest frame rate offered at this size and format.
    int rateNumerator = 0;
    int rateDenominator = 1;

    double framesPerSecond() const {
        return rateDenominator > 0 ? double(rateNumerator) / rateDenominator : 0.0;
    }
    bool operator==(const CaptureMode&) const = default;
};

// The modes that caps (GStreamer's text form, as a device reports them) offer, one per structure
// and size; ranges count at their largest value. Structures other than raw video and MJPEG are
// left out.
std::vector<CaptureMode> captureModesFromCaps(const std::string& caps);

// The mode to open a camera in. The frame path works at 1280 x 720, and USB webcams send raw
// pictures above that at a few frames a second (MJPEG at full rate), so: the smallest mode at or
// above 1280 x 720 that reaches 30 fps (raw before MJPEG at the same size, since raw costs no
// decoding); else the smallest mode at or above 1280 x 720 (the fastest of that size); else the
// largest mode (the fastest of that size). Absent for an empty list.
std::optional<CaptureMode> chooseCaptureMode(const std::vector<CaptureMode>& modes);

// The part of a capture pipeline that pins the mode right after the source, e.g.
// "image/jpeg,width=1920,height=1080,framerate=30/1 ! jpegdec".
std::string captureModeCaps(const CaptureMode& mode);

// How one discovered device is seen, from the properties its provider reports.
struct DeviceDescription {
    CaptureDevice device;
    // Equal for the entries that two providers give for one physical camera (the V4L2 device
    // node); empty when only one provider can know it.
    std::string physicalKey;
    // Whether it is opened through PipeWire (pipewiresrc on the node name) or V4L2 (v4l2src on
    // the device path), and what to open.
    bool viaPipeWire = false;
    std::string target;
    // The mode to open it in (set from the device's caps by discovery); absent: whatever raw
    // picture the camera gives first.
    std::optional<CaptureMode> mode;
};

// Describes a Video/Source device from its display name and provider properties; absent for
// devices that are not cameras (other media classes or roles). sysfsRoot is where /sys is.
std::optional<DeviceDescription>
describeDevice(const std::string& displayName, const std::map<std::string, std::string>& properties,
               const std::string& sysfsRoot = "/sys");

// Adds a device to a list in discovery order, one entry per camera: a camera already listed
// (reported twice, or by a second provider) is not added again, except that a PipeWire entry
// takes the place of a V4L2 one, so that the camera is opened through PipeWire and can be shared.
void addDescribedDevice(std::vector<DeviceDescription>& list, DeviceDescription description);

// The device-type rule. Built-in: a declared internal form factor, a front or back camera
// location, a camera on a PCI or platform bus (laptop MIPI cameras), or a USB camera on a port
// that the firmware marks as fixed (how laptops wire their lid cameras). Everything else is
// external.
CaptureDeviceType deviceTypeFor(const std::map<std::string, std::string>& properties,
                                const std::string& sysfsRoot = "/sys");

// The access rule over the machine's video device nodes (/dev/video*).
AuthorizationStatus videoDeviceAccess(const std::string& deviceDirectory = "/dev");

} // namespace orlenta

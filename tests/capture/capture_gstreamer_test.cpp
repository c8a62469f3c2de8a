// The GStreamer capture system without PipeWire: how devices are described and typed, the access
// rule over device nodes, and the demo camera.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "app/capture/capture_gstreamer.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

fs::path scratch(const std::string& name) {
    fs::path dir = fs::path(ORLENTA_BINARY_DIR) / "capture-test" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// One description in a line: id, model, type, then how it is opened; "none" when it is not a
// camera.
std::string describe(const std::optional<DeviceDescription>& d) {
    if (!d)
        return "none";
    return d->device.uniqueID + " | " + d->device.localizedName + " | " + d->device.modelID +
           (d->device.deviceType == CaptureDeviceType::external ? " | external" : " | built-in") +
           (d->viaPipeWire ? " | pipewire " : " | v4l2 ") + d->target + " | " + d->physicalKey;
}

// Node or device properties written "key=value;key=value".
std::map<std::string, std::string> parse(const std::string& text) {
    std::map<std::string, std::string> properties;
    std::istringstream in(text);
    for (std::string pair; std::getline(in, pair, ';');)
        properties[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    return properties;
}

TEST(CaptureDevices, DescribedFromEitherProviderOnceACameraTypedAndOpenedInTheirBestMode) {
    // A webcam as the V4L2 provider and as a PipeWire node describe one camera: same identity
    // and physical key, opened through V4L2 from the device and through PipeWire from the node.
    // A PipeWire-only camera is known by its node name, which survives restarts; the app's own
    // node, whatever its name, has its nick as its model, for the pipeline to leave it out. Other
    // classes and roles, nodes without a name and devices without a path are not cameras.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"HD Webcam C270",
         "device.path=/dev/video0;v4l2.device.bus_info=usb-0000:00:14.0-5;"
         "v4l2.device.card=HD Webcam C270;device.vendor.id=046d;device.product.id=0825;"
         "device.bus=usb",
         "v4l2:usb-0000:00:14.0-5/HD Webcam C270 | HD Webcam C270 | 046d:0825 | external | v4l2 "
         "/dev/video0 | /dev/video0"},
        {"HD Webcam C270 (V4L2)",
         "media.class=Video/Source;node.name=v4l2_input.usb-5;object.serial=57;"
         "api.v4l2.path=/dev/video0;api.v4l2.cap.bus_info=usb-0000:00:14.0-5;"
         "api.v4l2.cap.card=HD Webcam C270",
         "v4l2:usb-0000:00:14.0-5/HD Webcam C270 | HD Webcam C270 (V4L2) | HD Webcam C270 | "
         "external | pipewire v4l2_input.usb-5 | /dev/video0"},
        {"Virtual",
         "media.class=Video/Source;media.role=Camera;node.name=orlenta-camera.x.y;"
         "node.nick=Orlenta Camera",
         "pipewire:orlenta-camera.x.y | Virtual | Orlenta Camera | external | pipewire "
         "orlenta-camera.x.y | "},
        // The app's own V4L2 loopback device, from either provider: its card is its model, which
        // the pipeline leaves out; a loopback device is never a built-in camera.
        {"Orlenta Camera",
         "device.path=/dev/video7;v4l2.device.bus_info=platform:v4l2loopback-007;"
         "v4l2.device.card=Orlenta Camera",
         "v4l2:platform:v4l2loopback-007/Orlenta Camera | Orlenta Camera | Orlenta Camera | "
         "external | v4l2 /dev/video7 | /dev/video7"},
        {"Orlenta Camera (V4L2)",
         "media.class=Video/Source;node.name=v4l2_input.platform-v4l2loopback.7;"
         "api.v4l2.path=/dev/video7;api.v4l2.cap.bus_info=platform:v4l2loopback-007;"
         "api.v4l2.cap.card=Orlenta Camera",
         "v4l2:platform:v4l2loopback-007/Orlenta Camera | Orlenta Camera (V4L2) | Orlenta Camera | "
         "external | pipewire v4l2_input.platform-v4l2loopback.7 | /dev/video7"},
        {"Screen", "media.class=Video/Source;media.role=Screen;node.name=screen", "none"},
        {"Writer", "media.class=Stream/Output/Video;node.name=orlenta-camera-writer", "none"},
        {"Serial only", "media.class=Video/Source;object.serial=3", "none"},
        {"Nothing", "", "none"},
    };
    for (const auto& [name, properties, expected] : cases)
        EXPECT_EQ(describe(describeDevice(name, parse(properties), "/nonexistent")), expected)
            << name;

    // One entry a camera.
    auto described = [](const std::string& id, const std::string& key, bool pipeWire) {
        DeviceDescription d;
        d.device = {id, "Camera " + id, "model", CaptureDeviceType::external};
        d.physicalKey = key;
        d.viaPipeWire = pipeWire;
        d.target = pipeWire ? "node." + id : key;
        return d;
    };
    std::vector<DeviceDescription> list;
    addDescribedDevice(list, described("v4l2:usb-1/Cam", "/dev/video0", false));
    addDescribedDevice(list, described("pipewire:virtual", "", true));
    // The same webcam through PipeWire takes the V4L2 entry's place, keeping the order; reported
    // twice, still once; a V4L2 report after the PipeWire one changes nothing; two cameras
    // without a physical key are two cameras.
    addDescribedDevice(list, described("v4l2:usb-1/Cam", "/dev/video0", true));
    addDescribedDevice(list, described("pipewire:virtual", "", true));
    addDescribedDevice(list, described("v4l2:usb-1/Cam", "/dev/video0", false));
    addDescribedDevice(list, described("pipewire:other", "", true));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(describe(list[0]),
              "v4l2:usb-1/Cam | Camera v4l2:usb-1/Cam | model | external | pipewire "
              "node.v4l2:usb-1/Cam | /dev/video0");
    EXPECT_EQ(list[1].device.uniqueID, "pipewire:virtual");
    EXPECT_EQ(list[2].device.uniqueID, "pipewire:other");

    // The type: what a camera declares, else its USB port.
    using T = CaptureDeviceType;
    const std::pair<std::string, T> declared[] = {
        {"device.form-factor=internal", T::builtInWideAngleCamera},
        {"device.form-factor=webcam;device.bus=pci", T::external},
        {"api.libcamera.location=front", T::builtInWideAngleCamera},
        {"api.libcamera.location=external", T::external},
        {"v4l2.device.bus_info=platform:qcom-camss", T::builtInWideAngleCamera},
        {"api.v4l2.cap.bus_info=PCI:0000:00:05.0", T::builtInWideAngleCamera},
        {"", T::external},
    };
    for (const auto& [properties, type] : declared)
        EXPECT_EQ(deviceTypeFor(parse(properties)), type) << properties;

    // USB cameras: the port's "removable" attribute decides, found from the device node or the
    // sysfs path, walking up from the interface to the USB device; unknown or no sysfs: external.
    const fs::path sys = scratch("sysfs");
    const fs::path usb = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-5";
    fs::create_directories(usb / "1-5:1.0/video4linux/video0");
    fs::create_directories(sys / "class/video4linux");
    fs::create_symlink(usb / "1-5:1.0/video4linux/video0", sys / "class/video4linux/video0");
    fs::create_symlink(usb / "1-5:1.0", usb / "1-5:1.0/video4linux/video0/device");
    const auto byNode = parse("device.path=/dev/video0;v4l2.device.bus_info=usb-0000:00:14.0-5");
    const auto byPath = parse("api.v4l2.path=/dev/video0;device.bus=usb");
    for (const auto& [removable, type] :
         {std::pair{"fixed", T::builtInWideAngleCamera}, std::pair{"removable", T::external},
          std::pair{"unknown", T::external}}) {
        std::ofstream(usb / "removable") << removable << "\n";
        EXPECT_EQ(deviceTypeFor(byNode, sys.string()), type) << removable;
        EXPECT_EQ(deviceTypeFor(byPath, sys.string()), type) << removable;
    }
    EXPECT_EQ(deviceTypeFor(byNode, "/nonexistent"), T::external);

    // The capture mode: 30 frames a second at the smallest size from 720p up.
    const std::pair<std::string, std::string> modes[] = {
        // A typical USB webcam: raw YUY2 reaches 30 fps only at small sizes, MJPEG at every size.
        {"video/x-raw, format=(string)YUY2, width=(int)1920, height=(int)1080, "
         "framerate=(fraction){ 5/1 }; "
         "image/jpeg, width=(int)1920, height=(int)1080, framerate=(fraction){ 30/1, 15/1 }; "
         "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
         "framerate=(fraction)30/1; audio/x-raw, rate=(int)48000",
         "image/jpeg,width=1920,height=1080,framerate=30/1 ! jpegdec"},
        // Raw before MJPEG when both reach 30 fps at a size; the smallest such size from 720p
        // up; 30000/1001 counts as 30.
        {"image/jpeg, width=1280, height=720, framerate=30/1; "
         "video/x-raw, format=NV12, width=1280, height=720, framerate=30000/1001; "
         "image/jpeg, width=1920, height=1080, framerate=30/1",
         "video/x-raw,format=NV12,width=1280,height=720,framerate=30000/1001"},
        // Nothing reaches 30 fps from 720p up: the smallest size from 720p up, at its fastest.
        {"video/x-raw, format=YUY2, width=640, height=480, framerate=30/1; "
         "video/x-raw, format=YUY2, width=1920, height=1080, framerate=5/1; "
         "video/x-raw, format=YUY2, width=1280, height=720, framerate={ 5/1, 10/1 }",
         "video/x-raw,format=YUY2,width=1280,height=720,framerate=10/1"},
        {"video/x-raw, format=YUY2, width=1280, height=720, framerate=5/1; "
         "image/jpeg, width=1280, height=720, framerate=15/1",
         "image/jpeg,width=1280,height=720,framerate=15/1 ! jpegdec"},
        // Only small modes: the largest; ranges count at their largest values.
        {"video/x-raw, format=YUY2, width=[ 160, 800 ], height=[ 120, 600 ], "
         "framerate=[ 1/1, 60/1 ]; video/x-raw, format=YUY2, width=320, height=240",
         "video/x-raw,format=YUY2,width=800,height=600,framerate=60/1"},
        {"", "none"},
        {"audio/x-raw, rate=48000", "none"},
    };
    for (const auto& [caps, chosen] : modes) {
        const auto mode = chooseCaptureMode(captureModesFromCaps(caps));
        EXPECT_EQ(mode ? captureModeCaps(*mode) : std::string("none"), chosen) << caps;
    }
}

// Runs the access rule over a directory as an unprivileged user, in a child process.
AuthorizationStatus accessAsNobody(const fs::path& dir) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        ::_exit(static_cast<int>(videoDeviceAccess(dir.string())));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return static_cast<AuthorizationStatus>(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
}

TEST(CaptureAccess, VideoDeviceNodesDecide) {
    const fs::path dir = scratch("dev");
    ::chmod(dir.c_str(), 0755);
    // No video devices at all (or no such directory): nothing to refuse.
    EXPECT_EQ(videoDeviceAccess(dir.string()), AuthorizationStatus::authorized);
    EXPECT_EQ(videoDeviceAccess((dir / "missing").string()), AuthorizationStatus::authorized);
    // Files that are not character devices do not count.
    std::ofstream(dir / "video7") << "not a device";
    EXPECT_EQ(videoDeviceAccess(dir.string()), AuthorizationStatus::authorized);

    if (::geteuid() != 0)
        GTEST_SKIP() << "making device nodes and dropping privileges needs root";
    // A device node the user may not open: denied. One more that it may: authorized.
    const fs::path locked = dir / "video0";
    ASSERT_EQ(::mknod(locked.c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0) << "mknod failed";
    EXPECT_EQ(accessAsNobody(dir), AuthorizationStatus::denied);
    const fs::path open = dir / "video1";
    ASSERT_EQ(::mknod(open.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    ::chmod(open.c_str(), 0666);
    EXPECT_EQ(accessAsNobody(dir), AuthorizationStatus::authorized);
}

// A short clip made here, so looping is seen within a second.
std::optional<std::string> makeShortClip() {
    const fs::path clip = scratch("clip") / "short.webm";
    const std::string command =
        "gst-launch-1.0 -q videotestsrc num-buffers=10 pattern=ball ! "
        "video/x-raw,width=320,height=240,framerate=20/1 ! vp8enc ! webmmux ! filesink "
        "location='" +
        clip.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !fs::exists(clip))
        return std::nullopt;
    return clip.string();
}

TEST(CaptureDemo, TheClipIsACameraThatLoops) {
    ManualExecutor main;
    // The bundled clip is found and listed as the only camera when discovery is off.
    const std::optional<std::string> bundled = findDemoClip();
    ASSERT_TRUE(bundled) << "the bundled demo clip is missing";
    std::string error;
    auto system = GStreamerCaptureSystem::create(main, {bundled, false, 3.0}, &error);
    ASSERT_TRUE(system) << error;
    ASSERT_EQ(system->devices().size(), 1u);
    const CaptureDevice demo = system->devices()[0];
    EXPECT_EQ(demo.uniqueID, GStreamerCaptureSystem::kDemoUniqueID);

    // A missing clip is a clear error, not a camera that never delivers.
    error.clear();
    EXPECT_FALSE(
        GStreamerCaptureSystem::create(main, {"/nonexistent/clip.webm", false, 3.0}, &error));
    EXPECT_NE(error.find("/nonexistent/clip.webm"), std::string::npos);

    // A 0.5 s clip at 20 fps, played for 1.6 s: it loops (more frames than it has), paced at its
    // rate (not as fast as it decodes), with no pause at the loop point; stopped, it stops. (The
    // bundled clip's frames are read through the pipeline in the capture integration tests.)
    const std::optional<std::string> shortClip = makeShortClip();
    if (!shortClip)
        GTEST_SKIP() << "could not make a short clip with gst-launch-1.0";
    auto shortSystem = GStreamerCaptureSystem::create(main, {shortClip, false, 3.0}, &error);
    ASSERT_TRUE(shortSystem) << error;
    SerialQueue queue("test.video");
    std::mutex mutex; // over the arrival times and the last frame's size
    std::vector<double> arrivals;
    std::pair<int, int> size;
    const auto count = [&] {
        std::lock_guard lock(mutex);
        return arrivals.size();
    };
    auto looping = shortSystem->makeSession();
    looping->setFrameHandler(
        [&](std::shared_ptr<SampleBuffer> s) {
            std::lock_guard lock(mutex);
            arrivals.push_back(currentMediaTime());
            size = {s->imageBuffer()->width(), s->imageBuffer()->height()};
        },
        &queue);
    queue.sync([&] {
        ASSERT_TRUE(looping->setInput(shortSystem->devices().at(0)));
        looping->startRunning();
    });
    ASSERT_TRUE(main.runUntil([&] { return count() >= 1; }, 10));
    main.runUntil([] { return false; }, 1.6);
    queue.sync([&] { looping->stopRunning(); });
    const size_t stopped = count();
    main.runUntil([] { return false; }, 0.3);
    EXPECT_LE(count(), stopped + 1) << "frames kept coming after stop";
    looping->setFrameHandler(nullptr, nullptr);
    std::lock_guard lock(mutex);
    EXPECT_GT(arrivals.size(), 20u) << "the clip did not loop";
    EXPECT_LT(arrivals.size(), 50u) << "the clip was not paced at its frame rate";
    double longestGap = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        longestGap = std::max(longestGap, arrivals[i] - arrivals[i - 1]);
    EXPECT_LT(longestGap, 0.3) << "a pause at the loop point";
    EXPECT_EQ(size, std::make_pair(320, 240));
}

} // namespace
} // namespace orlenta

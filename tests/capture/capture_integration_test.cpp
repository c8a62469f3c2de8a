// Cameras for real: PipeWire camera nodes (raw YUY2 and MJPEG) in a private session, found by the
// GStreamer capture system and read by the pipeline.
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

#include "app/capture/capture_gstreamer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "tests/testing/pipewire_session.h"
#include "tests/testing/test_camera.h"

namespace orlenta {
namespace {

using testing::TestCamera;

[[maybe_unused]] ::testing::Environment* const session =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

struct NoFaces : FaceDetector {
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        return std::vector<FaceObservation>{};
    }
};

TestCamera::Options cameraOptions(const std::string& name,
                                  TestCamera::Format format = TestCamera::Format::yuy2,
                                  int width = 640, int height = 480) {
    return {.nodeName = "orlenta-test." + name,
            .description = "Test Camera " + name,
            .format = format,
            .width = width,
            .height = height};
}

std::string idOf(const TestCamera& camera) {
    return "pipewire:" + camera.options().nodeName;
}

struct Seen {
    int width = 0;
    int height = 0;
    std::optional<int> tag;
    bool redBelow = false;
};

// A pipeline on the real capture system, recording what reaches processFrame.
struct Rig {
    ManualExecutor main;
    std::shared_ptr<GStreamerCaptureSystem> system;
    std::shared_ptr<CameraPipeline> pipeline;
    std::mutex mutex;
    std::vector<Seen> seen;
    std::vector<std::pair<CaptureSystem::DeviceEvent, std::string>> events;

    explicit Rig(GStreamerCaptureOptions options = {}) {
        std::string error;
        system = GStreamerCaptureSystem::create(main, options, &error);
        EXPECT_TRUE(system) << error;
        system->addDeviceObserver([this](CaptureSystem::DeviceEvent event, const CaptureDevice& d) {
            events.emplace_back(event, d.uniqueID);
        });
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = &main;
        deps.detector = std::make_unique<NoFaces>();
        deps.captureSystem = system;
        pipeline = CameraPipeline::create(std::move(deps));
        pipeline->setFrameObserver([this](const ProcessedFrame& frame) {
            if (!frame.input || !frame.input->imageBuffer())
                return;
            PixelBuffer& image = *frame.input->imageBuffer();
            PixelBufferLock lock(image);
            const int w = image.width(), h = image.height();
            const size_t stride = image.bytesPerRow();
            Seen s{w, h, std::nullopt, false};
            if (lock) {
                s.tag = TestCamera::readTag(lock.data(), w, h, stride);
                const uint8_t* px =
                    lock.data() + static_cast<size_t>(h * 3 / 4) * stride + w / 2 * 4;
                s.redBelow = px[0] < 60 && px[1] < 60 && px[2] > 190 && px[3] == 255;
            }
            std::lock_guard guard(mutex);
            seen.push_back(s);
        });
    }
    ~Rig() {
        main.runPending();
        pipeline.reset();
        main.runPending();
    }

    bool listed(const std::string& id) {
        return std::ranges::count(system->devices(), id, &CaptureDevice::uniqueID) > 0;
    }
    size_t seenCount() {
        std::lock_guard guard(mutex);
        return seen.size();
    }
    Seen lastSeen() {
        std::lock_guard guard(mutex);
        return seen.back();
    }
    // Waits for `count` more frames; the last one.
    std::optional<Seen> waitForFrames(size_t count, double timeout) {
        const size_t before = seenCount();
        if (!main.runUntil([&] { return seenCount() >= before + count; }, timeout))
            return std::nullopt;
        return lastSeen();
    }
    // Runs the main thread until every camera is listed, or until the frames seen are that wide.
    bool waitListed(const std::vector<std::string>& ids, double timeout) {
        return main.runUntil(
            [&] { return std::ranges::all_of(ids, [&](auto& id) { return listed(id); }); },
            timeout);
    }
    bool waitForWidth(int width, double timeout) {
        return main.runUntil([&] { return seenCount() > 0 && lastSeen().width == width; }, timeout);
    }
    bool hasEvent(CaptureSystem::DeviceEvent event, const std::string& id) {
        return std::find(events.begin(), events.end(), std::make_pair(event, id)) != events.end();
    }
};

TEST(CaptureIntegration, CamerasComeAndGoAndFramesArriveAsBgraInTheThirtyFramesASecondMode) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // A camera present before the system starts is listed once, even though the PipeWire
    // provider reports it twice.
    auto usb = std::make_unique<TestCamera>(cameraOptions("usb", TestCamera::Format::mjpeg));
    ASSERT_TRUE(usb->started());
    const std::string usbID = idOf(*usb);
    Rig rig;
    ASSERT_TRUE(rig.waitListed({usbID}, 1.0));
    EXPECT_EQ(std::ranges::count(rig.system->devices(), usbID, &CaptureDevice::uniqueID), 1);
    rig.pipeline->start();
    ASSERT_TRUE(rig.waitForWidth(640, 5.0));

    // Cameras plugged in later are found within a second, announced on the main thread and
    // typed by what they declare; they do not take over the selection, built-in or not.
    auto lidOptions = cameraOptions("lid", TestCamera::Format::yuy2, 480, 360);
    lidOptions.properties["device.form-factor"] = "internal";
    TestCamera lid(lidOptions);
    ASSERT_TRUE(rig.main.runUntil(
        [&] { return rig.hasEvent(CaptureSystem::DeviceEvent::connected, idOf(lid)); }, 1.0));
    rig.main.runPending();
    EXPECT_EQ(rig.system->deviceWithUniqueID(idOf(lid))->localizedName, "Test Camera lid");
    EXPECT_EQ(rig.system->deviceWithUniqueID(idOf(lid))->deviceType,
              CaptureDeviceType::builtInWideAngleCamera);
    EXPECT_EQ(rig.system->deviceWithUniqueID(usbID)->deviceType, CaptureDeviceType::external);
    EXPECT_EQ(rig.pipeline->selectedCameraID.get(), usbID);
    EXPECT_EQ(rig.pipeline->cameras.get().size(), 2u);

    // Unplugged while frames flow: announced and gone within a second, and the built-in camera
    // takes over, without a crash.
    usb.reset();
    ASSERT_TRUE(rig.main.runUntil(
        [&] { return rig.hasEvent(CaptureSystem::DeviceEvent::disconnected, usbID); }, 1.0));
    EXPECT_FALSE(rig.listed(usbID));
    ASSERT_TRUE(
        rig.main.runUntil([&] { return rig.pipeline->selectedCameraID.get() == idOf(lid); }, 2.0));
    ASSERT_TRUE(rig.waitForWidth(480, 5.0)); // its frames' height is checked below

    // Back again: listed, but the selection stays.
    TestCamera back(cameraOptions("usb", TestCamera::Format::mjpeg));
    ASSERT_TRUE(rig.waitListed({usbID}, 1.0));
    rig.main.runPending();
    EXPECT_EQ(rig.pipeline->selectedCameraID.get(), idOf(lid));
    EXPECT_EQ(rig.pipeline->cameraAccess.get(), AuthorizationStatus::authorized);

    // Frames arrive as BGRA in the mode that gives 30 frames a second: from the raw built-in
    // camera, and from a webcam whose raw 1080p comes at 5 fps only but MJPEG 1080p at 30, so
    // MJPEG is negotiated and arrives whole.
    auto options = cameraOptions("webcam");
    options.otherModes = {{TestCamera::Format::yuy2, 1920, 1080, 5},
                          {TestCamera::Format::mjpeg, 1920, 1080, 30}};
    TestCamera webcam(options);
    ASSERT_TRUE(rig.waitListed({idOf(webcam)}, 1.0));
    for (const auto& [camera, size] :
         {std::pair{&lid, cv::Size(480, 360)}, std::pair{&webcam, cv::Size(1920, 1080)}}) {
        SCOPED_TRACE(camera->options().nodeName);
        rig.pipeline->setSelectedCameraID(idOf(*camera));
        // The first frames may still come from the camera before.
        ASSERT_TRUE(rig.waitForWidth(size.width, 10.0));
        const std::optional<Seen> frame = rig.waitForFrames(10, 5.0);
        ASSERT_TRUE(frame) << "frames stopped";
        EXPECT_EQ(frame->height, size.height);
        EXPECT_TRUE(frame->redBelow) << "colours or channel order are wrong";
        ASSERT_TRUE(frame->tag.has_value()) << "the picture is not the camera's";
        EXPECT_TRUE(camera->sendTime(*frame->tag).has_value());
    }
    EXPECT_EQ(webcam.negotiatedMode(),
              (TestCamera::Mode{TestCamera::Format::mjpeg, 1920, 1080, 30}));

    // Paused: the camera is let go and nothing arrives; resumed: frames again.
    rig.pipeline->setPaused(true);
    rig.main.runUntil([] { return false; }, 0.3);
    const size_t paused = rig.seenCount();
    rig.main.runUntil([] { return false; }, 0.5);
    EXPECT_EQ(rig.seenCount(), paused);
    rig.pipeline->setPaused(false);
    EXPECT_TRUE(rig.waitForFrames(5, 5.0));
}

TEST(CaptureIntegration, ASilentCameraIsOpenedAgain) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // Linked but sending nothing: after the first-frame timeout the session opens it again (a
    // new link each time), until frames come; then it stays.
    auto options = cameraOptions("silent");
    options.sending = false;
    TestCamera camera(options);
    GStreamerCaptureOptions captureOptions;
    captureOptions.firstFrameTimeout = 0.4;
    Rig rig(captureOptions);
    ASSERT_TRUE(rig.waitListed({idOf(camera)}, 1.0));
    rig.main.runPending();
    rig.pipeline->start();
    ASSERT_TRUE(rig.main.runUntil([&] { return camera.streamingStarts() >= 1; }, 3.0));
    EXPECT_TRUE(rig.main.runUntil([&] { return camera.streamingStarts() >= 3; }, 4.0))
        << "the silent camera was not opened again";
    EXPECT_EQ(rig.seenCount(), 0u);

    camera.setSending(true);
    ASSERT_TRUE(rig.waitForFrames(5, 5.0));
    const int starts = camera.streamingStarts();
    EXPECT_TRUE(rig.waitForFrames(20, 5.0));
    EXPECT_EQ(camera.streamingStarts(), starts) << "a delivering camera was opened again";
}

TEST(CaptureIntegration,
     TheDemoCameraComesFirstAndCamerasAreFoundWhenPipeWireStartsLateOrRestarts) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    // Run on its own (as ctest does), discovery starts here, with no PipeWire yet: only the demo
    // camera is there, chosen, so that the product shows something at once.
    using Session = testing::PipeWireSessionEnvironment;
    ASSERT_TRUE(Session::stop());
    GStreamerCaptureOptions options;
    options.demoClipPath = findDemoClip();
    ASSERT_TRUE(options.demoClipPath);
    Rig rig(options);
    rig.main.runPending();
    ASSERT_EQ(rig.system->devices().size(), 1u);
    EXPECT_EQ(rig.pipeline->selectedCameraID.get(), GStreamerCaptureSystem::kDemoUniqueID);
    ASSERT_TRUE(Session::restart());
    {
        TestCamera late(cameraOptions("late"));
        ASSERT_TRUE(late.started());
        ASSERT_TRUE(rig.waitListed({idOf(late)}, 3.0))
            << "PipeWire started after discovery was not noticed";
    }
    // PipeWire (with its session manager) goes away and comes back in the same place.
    ASSERT_TRUE(Session::stop());
    ASSERT_TRUE(Session::restart());
    TestCamera after(cameraOptions("after"));
    ASSERT_TRUE(after.started());
    ASSERT_TRUE(rig.waitListed({idOf(after)}, 3.0)) << "the restarted PipeWire was not noticed";
    EXPECT_FALSE(rig.listed("pipewire:orlenta-test.late"));
    rig.main.runPending();
    // The demo camera stays first and chosen, its frames 1280 x 720; the real camera is one choice
    // away.
    EXPECT_EQ(rig.pipeline->cameras.get()[0].uniqueID, GStreamerCaptureSystem::kDemoUniqueID);
    EXPECT_EQ(rig.pipeline->selectedCameraID.get(), GStreamerCaptureSystem::kDemoUniqueID);
    rig.pipeline->start();
    const std::optional<Seen> frame = rig.waitForFrames(5, 10.0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 1280);
    EXPECT_EQ(frame->height, 720);
    rig.pipeline->setSelectedCameraID(idOf(after));
    EXPECT_TRUE(rig.waitForWidth(640, 5.0));
}

} // namespace
} // namespace orlenta

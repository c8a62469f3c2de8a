// The pipeline's camera side: listing, selection, access and the capture session's input and
// running state, against the in-memory capture system.
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "tests/testing/capture_memory.h"

namespace orlenta {
namespace {

// Reports one face in the middle of every frame.
class OneFaceDetector : public FaceDetector {
public:
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        FaceObservation face;
        face.boundingBox = {0.4, 0.4, 0.2, 0.2};
        face.confidence = 0.9f;
        return std::vector<FaceObservation>{face};
    }
};

CaptureDevice camera(const std::string& id, CaptureDeviceType type = CaptureDeviceType::external,
                     const std::string& name = "", const std::string& model = "Webcam") {
    return {id, name.empty() ? "Camera " + id : name, model, type};
}

const CaptureDevice kBuiltIn = camera("builtin", CaptureDeviceType::builtInWideAngleCamera);
const CaptureDevice kUsbA = camera("usb-a");
const CaptureDevice kUsbB = camera("usb-b");

std::shared_ptr<SampleBuffer> frame() {
    auto buffer = PixelBuffer::create(64, 48);
    return SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer), {});
}

struct CameraHarness {
    ManualExecutor main;
    std::shared_ptr<MemoryCaptureSystem> system = MemoryCaptureSystem::create(main);
    std::shared_ptr<CameraPipeline> pipeline;
    std::atomic<int> processed{0};
    std::vector<int64_t> lastFaceIds;
    std::mutex mutex;

    explicit CameraHarness(std::vector<CaptureDevice> devices = {},
                           AuthorizationStatus access = AuthorizationStatus::authorized) {
        for (const CaptureDevice& device : devices)
            system->plug(device);
        main.runPending(); // the arrivals happened before the pipeline existed
        system->setAuthorizationStatus(access);
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = &main;
        deps.detector = std::make_unique<OneFaceDetector>();
        deps.captureSystem = system;
        pipeline = CameraPipeline::create(std::move(deps));
        pipeline->setFrameObserver([this](const ProcessedFrame& f) {
            std::lock_guard lock(mutex);
            lastFaceIds.clear();
            for (const TrackedFace& face : f.faces)
                lastFaceIds.push_back(face.id);
            ++processed;
        });
        settle();
    }
    ~CameraHarness() {
        if (!pipeline)
            return;
        settle();
        pipeline.reset();
    }

    MemoryCaptureSession& session() { return *system->sessions().at(0); }

    // Lets the video queue and the main thread finish everything queued so far, including the
    // video queue's hops to the main thread.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            pipeline->videoQueue().async([done] { *done = true; });
            ASSERT_TRUE(main.runUntil([&] { return done->load(); }));
            main.runPending();
        }
    }
    // Delivers one camera frame and waits for it to be processed; false if it was not taken.
    bool feed() {
        const int before = processed;
        if (!session().deliver(frame()))
            return false;
        return main.runUntil([&] { return processed > before; });
    }
    std::vector<int64_t> faceIds() {
        std::lock_guard lock(mutex);
        return lastFaceIds;
    }
    std::vector<std::string> cameraIds() {
        std::vector<std::string> ids;
        for (const CaptureDevice& d : pipeline->cameras.get())
            ids.push_back(d.uniqueID);
        return ids;
    }
};

TEST(PipelineCameras, SelectionRule) {
    struct Case {
        std::vector<CaptureDevice> cameras;
        const char* current;
        const char* chosen;
    };
    // The current choice while listed, else the first built-in camera, else the first one.
    const Case cases[] = {
        {{}, "gone", ""},
        {{kUsbA, kUsbB}, "usb-b", "usb-b"},
        {{kUsbA, kBuiltIn}, "gone", "builtin"},
        {{kUsbA, kBuiltIn}, "usb-a", "usb-a"},
        {{kUsbB, kUsbA}, "", "usb-b"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CameraPipeline::chooseCamera(c.cameras, c.current), c.chosen) << c.current;
}

TEST(PipelineCameras, TheAppsOwnCameraIsNeverListedOrCaptured) {
    // The app's own virtual camera, once by name and once by model identifier, even as a
    // built-in one: nothing is listed, selected or captured, not even when chosen by hand.
    CameraHarness h(
        {camera("own", CaptureDeviceType::builtInWideAngleCamera, "Orlenta Camera"),
         camera("own-model", CaptureDeviceType::external, "Virtual", "Orlenta Camera")});
    EXPECT_TRUE(h.pipeline->cameras.get().empty());
    EXPECT_EQ(h.pipeline->selectedCameraID.get(), "");
    h.pipeline->start();
    h.pipeline->setSelectedCameraID("own");
    h.settle();
    EXPECT_TRUE(h.session().inputLog().empty());
    EXPECT_FALSE(h.feed());

    // A real camera that arrives later is listed and chosen; the own camera still is not.
    h.system->plug(kUsbA);
    h.settle();
    EXPECT_EQ(h.cameraIds(), std::vector<std::string>{"usb-a"});
    EXPECT_EQ(h.session().inputDeviceID(), "usb-a");
    EXPECT_TRUE(h.feed());
}

TEST(PipelineCameras, ChoosingSwapsTheInputAndResetsFacesPausedOrNot) {
    CameraHarness h({kBuiltIn, kUsbA});
    h.pipeline->start();
    h.settle();
    ASSERT_TRUE(h.feed());
    ASSERT_TRUE(h.feed());
    const std::vector<int64_t> ids = h.faceIds();
    ASSERT_EQ(ids.size(), 1u);

    // The camera already selected: no swap, no reassignment, the same face.
    const size_t inputs = h.session().inputLog().size();
    const size_t assignments = h.pipeline->selectedCameraID.assignmentCount();
    h.pipeline->setSelectedCameraID("builtin");
    h.pipeline->refreshCameras();
    h.settle();
    EXPECT_EQ(h.session().inputLog().size(), inputs);
    EXPECT_EQ(h.pipeline->selectedCameraID.assignmentCount(), assignments);
    ASSERT_TRUE(h.feed());
    EXPECT_EQ(h.faceIds(), ids) << "the tracker was reset";

    // Another camera: the input is swapped and the face gets a new identity.
    h.pipeline->setSelectedCameraID("usb-a");
    h.settle();
    EXPECT_EQ(h.session().inputLog().back(), "usb-a");
    ASSERT_TRUE(h.feed());
    ASSERT_EQ(h.faceIds().size(), 1u);
    EXPECT_NE(h.faceIds(), ids);

    // Another camera while paused: swapped without starting the session until resumed.
    h.pipeline->setPaused(true);
    h.settle();
    EXPECT_FALSE(h.session().isRunning());
    EXPECT_FALSE(h.feed());
    h.pipeline->setSelectedCameraID("builtin");
    h.settle();
    EXPECT_EQ(h.session().inputDeviceID(), "builtin");
    EXPECT_FALSE(h.session().isRunning());
    EXPECT_EQ(h.session().startCount(), 1);
    h.pipeline->setPaused(false);
    h.settle();
    EXPECT_TRUE(h.session().isRunning());
    EXPECT_EQ(h.session().startCount(), 2);
    EXPECT_TRUE(h.feed());

    // Paused before capture begins: configured but not started until resumed.
    CameraHarness early({kUsbA});
    early.pipeline->setPaused(true);
    early.pipeline->start();
    early.settle();
    EXPECT_EQ(early.session().inputDeviceID(), "usb-a");
    EXPECT_FALSE(early.session().isRunning());
    early.pipeline->setPaused(false);
    early.settle();
    EXPECT_TRUE(early.session().isRunning());
}

TEST(PipelineCameras, RefusedAccessStartsNothing) {
    // Refused (no permission on the video devices) or restricted (not allowed at all): the list
    // stays visible, nothing is asked or started, not even a camera chosen or a resume.
    for (AuthorizationStatus refused :
         {AuthorizationStatus::denied, AuthorizationStatus::restricted}) {
        CameraHarness h({kUsbA, kUsbB}, refused);
        h.pipeline->start();
        h.pipeline->setSelectedCameraID("usb-b");
        h.pipeline->setPaused(true);
        h.pipeline->setPaused(false);
        h.settle();
        EXPECT_EQ(h.pipeline->cameraAccess.get(), refused);
        EXPECT_EQ(h.system->pendingAccessRequests(), 0u);
        EXPECT_EQ(h.cameraIds(), (std::vector<std::string>{"usb-a", "usb-b"}));
        EXPECT_FALSE(h.session().isRunning());
        EXPECT_TRUE(h.session().inputLog().empty());
    }
}

TEST(PipelineCameras, ACameraThatCannotBeOpenedIsRetriedOnlyWhenChosenAgain) {
    CameraHarness h({kBuiltIn, kUsbA});
    h.system->setOpenable("builtin", false);
    h.pipeline->start();
    h.settle();
    // Busy: tried at creation and as capture begins; the session runs without input.
    EXPECT_EQ(h.session().inputLog(), (std::vector<std::string>{"builtin", "builtin"}));
    EXPECT_FALSE(h.session().inputDeviceID().has_value());
    EXPECT_TRUE(h.session().isRunning());
    EXPECT_FALSE(h.feed());

    h.system->setOpenable("builtin", true);
    h.pipeline->setSelectedCameraID("builtin");
    h.settle();
    EXPECT_EQ(h.session().inputLog().size(), 2u);
    h.pipeline->setSelectedCameraID("usb-a");
    h.pipeline->setSelectedCameraID("builtin");
    h.settle();
    EXPECT_EQ(h.session().inputDeviceID(), "builtin");
    EXPECT_TRUE(h.feed());

    // A camera that vanished before its input is applied leaves the session as it was.
    h.pipeline->setSelectedCameraID("nonexistent");
    h.settle();
    EXPECT_EQ(h.session().inputDeviceID(), "builtin");
}

} // namespace
} // namespace orlenta

// The pipeline over in-memory doubles: covering, fail-closed detection, pausing, buffers, the
// virtual camera check, and the camera side (listing, selection, access) over the in-memory
// capture system.
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include <opencv2/core.hpp>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "tests/testing/capture_memory.h"

namespace orlenta {
namespace {

// What the scripted detector reports (normalized, bottom-left space), or throws.
struct Script {
    std::mutex mutex;
    std::optional<std::vector<FaceObservation>> next = std::vector<FaceObservation>{};
    bool raise = false; // throw from the next detect()
};
struct ScriptedDetector : FaceDetector {
    std::shared_ptr<Script> script;
    explicit ScriptedDetector(std::shared_ptr<Script> s) : script(std::move(s)) {}
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        std::lock_guard lock(script->mutex);
        if (std::exchange(script->raise, false))
            throw std::runtime_error("scripted failure");
        return script->next;
    }
};

struct RecordingDisplay : DisplaySink {
    bool failed = false;
    int flushes = 0, removals = 0;
    std::vector<std::shared_ptr<SampleBuffer>> samples;
    bool hasFailed() const override { return failed; }
    void flush() override { failed = (++flushes, false); }
    void flushAndRemoveImage() override { ++removals; }
    void enqueue(std::shared_ptr<SampleBuffer> sample) override { samples.push_back(sample); }
};

// Counts frames; with `hold` set, keeps the video queue inside send() (freezing a frame between
// its settings read and its results) until released. Its connect() gives the answer the test sets
// and counts the checks.
struct RecordingSink : FrameSink {
    std::atomic<int> frames{0}, connects{0};
    std::atomic<bool> answer{false}, hold{false}, holding{false};
    Task onDevicesChanged;

    bool connect() override { return ++connects, answer.load(); }
    void setOnDevicesChanged(Task callback) override { onDevicesChanged = std::move(callback); }
    void send(const std::shared_ptr<PixelBuffer>&) override {
        ++frames;
        if (!hold)
            return;
        holding = true;
        holding.notify_all();
        hold.wait(true);
    }
    void release() {
        hold = false;
        hold.notify_all();
    }
};

// A BGRA frame of opaque noise, so that any covering changes it; the same for every frame.
std::shared_ptr<SampleBuffer> makeFrame(int width, int height, double seconds) {
    auto buffer = PixelBuffer::create(width, height);
    PixelBufferLock lock(*buffer);
    cv::Mat picture(height, width, CV_8UC4, lock.data(), buffer->bytesPerRow());
    cv::RNG(7).fill(picture, cv::RNG::UNIFORM, 0, 256);
    cv::bitwise_or(picture, cv::Scalar(0, 0, 0, 255), picture);
    SampleTiming timing;
    timing.presentationTime = Time::fromSeconds(seconds);
    return SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer),
                                     timing);
}

cv::Mat view(const PixelBuffer& buffer) {
    auto& b = const_cast<PixelBuffer&>(buffer);
    PixelBufferLock lock(b);
    return cv::Mat(b.height(), b.width(), CV_8UC4, lock.data(), b.bytesPerRow()).clone();
}

// True when every pixel is opaque black.
bool allBlack(const PixelBuffer& buffer) {
    const cv::Mat out = view(buffer);
    return cv::countNonZero(out.reshape(1) != 0) == out.rows * out.cols &&
           cv::countNonZero(out.reshape(1) == 255) == out.rows * out.cols;
}

CaptureDevice camera(const std::string& id, CaptureDeviceType type = CaptureDeviceType::external,
                     const std::string& name = "", const std::string& model = "Webcam") {
    return {id, name.empty() ? "Camera " + id : name, model, type};
}

const CaptureDevice kBuiltIn = camera("builtin", CaptureDeviceType::builtInWideAngleCamera);
const CaptureDevice kUsbA = camera("usb-a");
const CaptureDevice kUsbB = camera("usb-b");

struct Harness {
    ManualExecutor main;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::shared_ptr<RecordingDisplay> display = std::make_shared<RecordingDisplay>();
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<MemoryCaptureSystem> system = MemoryCaptureSystem::create(main);
    std::shared_ptr<CameraPipeline> pipeline;
    std::mutex framesMutex;
    std::vector<ProcessedFrame> frames;
    double clock = 0;

    // The capture system lists `cameras` from before the pipeline existed.
    explicit Harness(bool withDetector = true, std::vector<CaptureDevice> cameras = {},
                     AuthorizationStatus access = AuthorizationStatus::authorized) {
        for (const CaptureDevice& device : cameras)
            system->plug(device);
        main.runPending();
        system->setAuthorizationStatus(access);
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = &main;
        if (withDetector)
            deps.detector = std::make_unique<ScriptedDetector>(script);
        deps.previewLayer = display;
        deps.sink = sink;
        deps.captureSystem = system;
        deps.frameClock = [](const SampleBuffer& s) { return s.presentationTime().seconds(); };
        pipeline = CameraPipeline::create(std::move(deps));
        pipeline->setFrameObserver([this](const ProcessedFrame& f) {
            std::lock_guard lock(framesMutex);
            frames.push_back(f);
        });
        settle();
    }
    ~Harness() {
        // Serve any hop still waiting, then tear down on this (the main) thread.
        if (pipeline)
            settle();
        pipeline.reset();
    }

    void setFaces(std::vector<FaceObservation> faces) {
        std::lock_guard lock(script->mutex);
        script->next = std::move(faces);
    }
    size_t frameCount() {
        std::lock_guard lock(framesMutex);
        return frames.size();
    }
    ProcessedFrame lastFrame() {
        std::lock_guard lock(framesMutex);
        return frames.back();
    }
    // Lets go of every frame, as the preview and the virtual camera do, so that the pool's
    // buffers come back.
    void release() {
        display->samples.clear();
        std::lock_guard lock(framesMutex);
        frames.clear();
    }
    // Lets the video queue finish what was posted and delivers its answers to the main thread.
    // The main thread must not wait for the video queue (which may be waiting for it), so it
    // serves its own work until a marker posted behind everything else has run; three rounds
    // cover the hops back and forth.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            pipeline->videoQueue().async([done] { *done = true; });
            EXPECT_TRUE(main.runUntil([&] { return done->load(); }));
            main.runPending();
        }
    }
    // Feeds one frame through the video queue and serves the main thread until it is done and
    // everything it posted has been delivered.
    ProcessedFrame process(const std::shared_ptr<SampleBuffer>& sample) {
        const size_t before = frameCount();
        pipeline->videoQueue().async([p = pipeline.get(), sample] { p->processFrame(sample); });
        EXPECT_TRUE(main.runUntil([&] { return frameCount() > before; }));
        settle();
        return lastFrame();
    }

    MemoryCaptureSession& session() { return *system->sessions().at(0); }
    // Delivers one frame from the capture session and waits for it to be processed; false if it
    // was not taken.
    bool feed() {
        release();
        clock += 1.0 / 30;
        if (!session().deliver(makeFrame(64, 48, clock)))
            return false;
        return main.runUntil([&] { return frameCount() > 0; });
    }
    // The one face's identity, or -1.
    int64_t faceId() {
        const std::vector<TrackedFace> faces = lastFrame().faces;
        return faces.size() == 1 ? faces[0].id : -1;
    }
    std::vector<std::string> cameraIds() {
        std::vector<std::string> ids;
        for (const CaptureDevice& d : pipeline->cameras.get())
            ids.push_back(d.uniqueID);
        return ids;
    }
};

FaceObservation faceAt(double x, double y, double w, double h) {
    return {{x, y, w, h}, 0.9f, 0.0};
}

TEST(PipelineGeometry, FitFillsTheOutputAndCutsEqually) {
    // Rows 60..419 of a 640 x 480 picture are black, the cut ones white: none of them shows.
    auto input = PixelBuffer::create(640, 480);
    {
        PixelBufferLock lock(*input);
        for (int y = 0; y < 480; ++y)
            std::memset(lock.data() + y * input->bytesPerRow(), y < 60 || y >= 420 ? 255 : 0,
                        input->bytesPerRow());
    }
    auto output = PixelBuffer::create(1280, 720);
    ASSERT_TRUE(CameraPipeline::renderFit(*input, *output));
    const cv::Mat out = view(*output);
    EXPECT_EQ(out.at<cv::Vec4b>(2, 640)[0], 0);
    EXPECT_EQ(out.at<cv::Vec4b>(717, 640)[0], 0);
}

TEST(Pipeline, FramesAreScaledCoveredPreviewedSentAndPublished) {
    Harness h;
    // A preview that stopped rendering is flushed before it gets the next frame.
    h.display->failed = true;
    // No faces: the output is exactly the scaled camera picture, and it still goes everywhere.
    ProcessedFrame f = h.process(makeFrame(1920, 1080, 0.0));
    ASSERT_TRUE(f.output);
    EXPECT_EQ(f.output->width(), 1280);
    EXPECT_EQ(f.output->height(), 720);
    auto expected = PixelBuffer::create(1280, 720);
    ASSERT_TRUE(CameraPipeline::renderFit(*f.input->imageBuffer(), *expected));
    EXPECT_EQ(cv::norm(view(*f.output), view(*expected), cv::NORM_INF), 0);
    EXPECT_EQ(h.sink->frames.load(), 1);
    EXPECT_EQ(h.display->flushes, 1);
    ASSERT_EQ(h.display->samples.size(), 1u);
    EXPECT_EQ(h.display->samples[0]->imageBuffer(), f.output); // shared, not copied
    EXPECT_TRUE(h.display->samples[0]->sampleAttachments(false).at(0).displayImmediately);
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());

    // A face in the middle: covered in the output, published as a hidden mark with the
    // tracker's rect in mark space; the far corner untouched.
    h.setFaces({faceAt(0.45, 0.4, 0.1, 0.2)});
    f = h.process(makeFrame(1920, 1080, 1.0 / 30));
    ASSERT_EQ(f.faces.size(), 1u);
    ASSERT_EQ(h.pipeline->faceMarks.get().size(), 1u);
    const FaceMark mark = h.pipeline->faceMarks.get()[0];
    EXPECT_FALSE(mark.shown);
    EXPECT_EQ(mark.rect, CameraPipeline::toMarkSpace(f.faces[0].rect));
    const cv::Rect middle(620, 340, 40, 40);
    const cv::Rect corner(0, 0, 100, 100);
    EXPECT_GT(cv::norm(view(*f.output)(middle), view(*expected)(middle), cv::NORM_L1), 0);
    EXPECT_EQ(cv::norm(view(*f.output)(corner), view(*expected)(corner), cv::NORM_INF), 0);

    // A click on the mark shows the face: published shown, and no longer covered.
    h.pipeline->toggleFace({mark.rect.midX(), mark.rect.midY()});
    h.settle();
    ASSERT_EQ(h.pipeline->faceMarks.get().size(), 1u);
    EXPECT_TRUE(h.pipeline->faceMarks.get()[0].shown);
    f = h.process(makeFrame(1920, 1080, 2.0 / 30));
    EXPECT_EQ(cv::norm(view(*f.output), view(*expected), cv::NORM_INF), 0);

    // Hide All covers it again; a click on empty space publishes nothing.
    h.pipeline->hideAllFaces();
    h.settle();
    EXPECT_FALSE(h.pipeline->faceMarks.get()[0].shown);
    const size_t assignments = h.pipeline->faceMarks.assignmentCount();
    h.pipeline->toggleFace({0.02, 0.02});
    h.settle();
    EXPECT_EQ(h.pipeline->faceMarks.assignmentCount(), assignments);

    // Odd camera sizes still give 1280 x 720; a sample without a picture is dropped unsent.
    f = h.process(makeFrame(3, 5, 0.1));
    ASSERT_TRUE(f.output);
    EXPECT_EQ(f.output->width(), 1280);
    const int sent = h.sink->frames.load();
    const size_t seen = h.frameCount();
    h.pipeline->videoQueue().async([p = h.pipeline.get()] { p->processFrame(nullptr); });
    h.settle();
    ASSERT_EQ(h.frameCount(), seen + 1);
    EXPECT_FALSE(h.lastFrame().output);
    EXPECT_EQ(h.sink->frames.load(), sent);

    // Buffers are recycled frame after frame: were the uncovered picture drawn in an output
    // buffer, a buffer that left as an output would come back holding an uncovered picture.
    f = {};
    std::set<uint64_t> outputs, uncovered;
    for (int i = 0; i < 12; ++i) {
        h.release();
        const ProcessedFrame g = h.process(makeFrame(1280, 720, 1 + i / 30.0));
        ASSERT_TRUE(g.output && g.uncovered);
        outputs.insert(g.output->serial());
        uncovered.insert(g.uncovered->serial());
    }
    for (const uint64_t serial : uncovered)
        EXPECT_EQ(outputs.count(serial), 0u);
}

TEST(Pipeline, PauseClearsAtOnceAndDiscardsLateResults) {
    Harness h;
    h.setFaces({faceAt(0.3, 0.3, 0.1, 0.15)});
    h.process(makeFrame(1280, 720, 0));
    ASSERT_EQ(h.pipeline->faceMarks.get().size(), 1u);

    // A frame that has read its settings but not yet delivered its results when the user
    // pauses: the sink holds it right after its settings hop.
    h.sink->hold = true;
    h.pipeline->videoQueue().async(
        [p = h.pipeline.get(), s = makeFrame(1280, 720, 0.1)] { p->processFrame(s); });
    for (int i = 0; i < 500 && h.main.pendingCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    h.main.runPending(); // serves the frame's settings hop
    h.sink->holding.wait(false);
    const size_t previews = h.display->samples.size();

    h.pipeline->setPaused(true);
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());
    EXPECT_EQ(h.display->removals, 1);
    h.sink->release();
    h.settle();
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty()) << "a late frame republished face marks";
    EXPECT_EQ(h.display->samples.size(), previews) << "a late frame reached the preview";

    // While paused, frames that still arrive are not processed.
    const int sent = h.sink->frames.load();
    h.pipeline->videoQueue().async(
        [p = h.pipeline.get(), s = makeFrame(1280, 720, 0.2)] { p->processFrame(s); });
    h.settle();
    EXPECT_EQ(h.sink->frames.load(), sent);

    // Pausing twice does nothing more; resuming starts from an empty tracker.
    h.pipeline->setPaused(true);
    EXPECT_EQ(h.display->removals, 1);
    h.pipeline->setPaused(false);
    h.setFaces({});
    EXPECT_TRUE(h.process(makeFrame(1280, 720, 0.3)).faces.empty());
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());
}

TEST(Pipeline, FailsClosedWhenFacesCannotBeDetected) {
    // No detector at all: every frame leaves entirely black, and the state says why.
    {
        Harness h(false);
        EXPECT_TRUE(h.pipeline->faceDetectionFailed.get());
        const ProcessedFrame f = h.process(makeFrame(1280, 720, 0));
        ASSERT_TRUE(f.output);
        EXPECT_TRUE(f.coveredWholeFrame);
        EXPECT_TRUE(allBlack(*f.output));
    }
    // A detector that fails, or throws: that very frame leaves black (and is still sent), and
    // the next successful detection brings the picture back.
    for (const bool raise : {false, true}) {
        SCOPED_TRACE(raise ? "throws" : "fails");
        Harness h;
        h.setFaces({faceAt(0.45, 0.4, 0.1, 0.2)});
        h.process(makeFrame(1280, 720, 0));
        {
            std::lock_guard lock(h.script->mutex);
            h.script->raise = raise;
            if (!raise)
                h.script->next = std::nullopt;
        }
        ProcessedFrame f = h.process(makeFrame(1280, 720, 0.1));
        EXPECT_FALSE(f.detectionSucceeded);
        EXPECT_TRUE(f.coveredWholeFrame);
        ASSERT_TRUE(f.output);
        EXPECT_TRUE(allBlack(*f.output));
        EXPECT_EQ(h.sink->frames.load(), 2);
        EXPECT_EQ(h.display->samples.back()->imageBuffer(), f.output);
        EXPECT_TRUE(h.pipeline->faceDetectionFailed.get());
        h.setFaces({});
        f = h.process(makeFrame(1280, 720, 0.2));
        EXPECT_FALSE(f.coveredWholeFrame);
        EXPECT_FALSE(h.pipeline->faceDetectionFailed.get());
    }
}

// The virtual camera hand-off: the link is checked at start, every 2 s and when the system's
// camera devices change, and the property follows the sink's answer.
TEST(PipelineVirtualCamera, ChecksAtStartOnTheTimerAndOnDeviceChanges) {
    Harness h;
    h.main.advance(5.0);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 0) << "nothing is checked before start()";

    // Each step: seconds passed (negative: a device-list change instead), the sink's answer,
    // then the checks so far and the property's value.
    struct Step {
        double advance;
        bool answer;
        int connects;
        bool connected;
    };
    h.pipeline->start();
    h.settle();
    const Step steps[] = {
        {0, false, 1, false},  {1.9, true, 1, false}, {0.1, true, 2, true},
        {-1, false, 3, false}, {2.0, true, 4, true},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        h.sink->answer = step.answer;
        if (step.advance < 0) {
            ASSERT_TRUE(h.sink->onDevicesChanged);
            h.sink->onDevicesChanged();
        } else {
            h.main.advance(step.advance);
        }
        h.settle();
        EXPECT_EQ(h.sink->connects.load(), step.connects) << "step " << i;
        EXPECT_EQ(h.pipeline->virtualCameraConnected.get(), step.connected) << "step " << i;
    }
    // Starting again checks once more and keeps one timer.
    h.pipeline->start();
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 5);
    EXPECT_EQ(h.main.activeTimerCount(), 1u);
    // Once the pipeline is gone its callbacks, holding weak references, do nothing.
    h.pipeline.reset();
    h.sink->onDevicesChanged();
    h.main.advance(10.0);
    h.main.runPending();
    EXPECT_EQ(h.sink->connects.load(), 5);
}

TEST(PipelineCameras, TheAppsOwnCameraIsNeverListedOrCaptured) {
    // The app's own virtual camera, once by name and once by model identifier, even as a
    // built-in one: nothing is listed, selected or captured, not even when chosen by hand.
    Harness h(true,
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
    // The built-in camera is chosen first even when listed second.
    Harness h(true, {kUsbA, kBuiltIn});
    h.setFaces({faceAt(0.4, 0.4, 0.2, 0.2)});
    h.pipeline->start();
    h.settle();
    ASSERT_TRUE(h.feed());
    ASSERT_TRUE(h.feed());
    const int64_t id = h.faceId();
    ASSERT_NE(id, -1);

    // The camera already selected: no swap, no reassignment, the same face.
    const size_t inputs = h.session().inputLog().size();
    const size_t assignments = h.pipeline->selectedCameraID.assignmentCount();
    h.pipeline->setSelectedCameraID("builtin");
    h.pipeline->refreshCameras();
    h.settle();
    EXPECT_EQ(h.session().inputLog().size(), inputs);
    EXPECT_EQ(h.pipeline->selectedCameraID.assignmentCount(), assignments);
    ASSERT_TRUE(h.feed());
    EXPECT_EQ(h.faceId(), id) << "the tracker was reset";

    // Another camera: the input is swapped and the face gets a new identity.
    h.pipeline->setSelectedCameraID("usb-a");
    h.settle();
    EXPECT_EQ(h.session().inputLog().back(), "usb-a");
    ASSERT_TRUE(h.feed());
    EXPECT_NE(h.faceId(), -1);
    EXPECT_NE(h.faceId(), id);

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
    Harness early(true, {kUsbA});
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
    for (const AuthorizationStatus refused :
         {AuthorizationStatus::denied, AuthorizationStatus::restricted}) {
        Harness h(true, {kUsbA, kUsbB}, refused);
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

} // namespace
} // namespace orlenta

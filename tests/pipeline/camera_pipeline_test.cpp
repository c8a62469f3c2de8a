// The picture path's parts: the pipeline over in-memory doubles (covering, fail-closed detection,
// pausing, buffers, the virtual camera check, and the camera side: listing, selection, access);
// the cover renderer's styles and kernels; and the face detector on real pictures with the
// installed model.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/cover_renderer.h"
#include "app/pipeline/face_detector.h"
#include "tests/testing/capture_memory.h"

namespace orlenta {
namespace detail {
// Defined in cover_renderer.cpp: the same covering with the portable or the vector kernels.
bool coverFacesUsing(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style,
                     cv::Mat& destination, bool vectorKernels);
} // namespace detail

namespace {

namespace fs = std::filesystem;
// Reports what the test sets (normalized, bottom-left space), or throws.
struct ScriptedDetector : FaceDetector {
    std::mutex mutex;
    std::optional<std::vector<FaceObservation>> next = std::vector<FaceObservation>{};
    bool raise = false; // throw from the next detect()
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        std::lock_guard lock(mutex);
        if (std::exchange(raise, false))
            throw std::runtime_error("scripted failure");
        return next;
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

// Opaque noise: every covering changes it.
cv::Mat texturedFrame(int cols, int rows, uint64_t seed = 7) {
    cv::Mat frame(rows, cols, CV_8UC4);
    cv::RNG(seed).fill(frame, cv::RNG::UNIFORM, 0, 256);
    cv::bitwise_or(frame, cv::Scalar(0, 0, 0, 255), frame);
    return frame;
}

// A sample of opaque noise, the same for every frame of a size.
std::shared_ptr<SampleBuffer> makeFrame(int width, int height, double seconds) {
    auto buffer = PixelBuffer::create(width, height);
    PixelBufferLock lock(*buffer);
    cv::Mat picture(height, width, CV_8UC4, lock.data(), buffer->bytesPerRow());
    texturedFrame(width, height).copyTo(picture);
    return SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer),
                                     {.presentationTime = Time::fromSeconds(seconds)});
}

cv::Mat view(const PixelBuffer& buffer) {
    auto& b = const_cast<PixelBuffer&>(buffer);
    PixelBufferLock lock(b);
    return cv::Mat(b.height(), b.width(), CV_8UC4, lock.data(), b.bytesPerRow()).clone();
}

bool allOpaqueBlack(const PixelBuffer& buffer) {
    const cv::Mat out = view(buffer);
    return cv::norm(out, cv::Mat(out.size(), CV_8UC4, cv::Scalar(0, 0, 0, 255)), cv::NORM_INF) == 0;
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
    std::unique_ptr<ScriptedDetector> owned = std::make_unique<ScriptedDetector>();
    ScriptedDetector* detector = owned.get(); // the pipeline's, unless made without
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
        pipeline = CameraPipeline::create(
            {.mainExecutor = &main,
             .detector = withDetector ? std::move(owned) : nullptr,
             .previewLayer = display,
             .sink = sink,
             .frameSource = nullptr,
             .captureSystem = system,
             .frameClock = [](const SampleBuffer& s) { return s.presentationTime().seconds(); }});
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
        std::lock_guard lock(detector->mutex);
        detector->next = std::move(faces);
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

TEST(Pipeline, FramesAreScaledCoveredPreviewedSentAndPublished) {
    // Fitting fills the output and cuts equally: rows 60..419 of a 640 x 480 picture are black, the
    // cut ones white: none of them shows.
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
        EXPECT_TRUE(allOpaqueBlack(*f.output));
    }
    // A detector that fails, or throws: that very frame leaves black (and is still sent), and
    // the next successful detection brings the picture back.
    for (const bool raise : {false, true}) {
        SCOPED_TRACE(raise ? "throws" : "fails");
        Harness h;
        h.setFaces({faceAt(0.45, 0.4, 0.1, 0.2)});
        h.process(makeFrame(1280, 720, 0));
        {
            std::lock_guard lock(h.detector->mutex);
            h.detector->raise = raise;
            if (!raise)
                h.detector->next = std::nullopt;
        }
        ProcessedFrame f = h.process(makeFrame(1280, 720, 0.1));
        EXPECT_FALSE(f.detectionSucceeded);
        EXPECT_TRUE(f.coveredWholeFrame);
        ASSERT_TRUE(f.output);
        EXPECT_TRUE(allOpaqueBlack(*f.output));
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

TEST(PipelineCameras, ChoosingSwapsTheInputAndResetsFacesPausedOrNotButNeverTakesTheAppsOwn) {
    // The built-in camera is chosen first even when listed second. The app's own virtual camera,
    // once by name and once by model identifier, even as a built-in one, is not listed.
    Harness h(true,
              {camera("own", CaptureDeviceType::builtInWideAngleCamera, "Orlenta Camera"), kUsbA,
               kBuiltIn,
               camera("own-model", CaptureDeviceType::external, "Virtual", "Orlenta Camera")});
    EXPECT_EQ(h.cameraIds(), (std::vector<std::string>{"usb-a", "builtin"}));
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
    // Nor is the app's own camera captured when chosen by hand.
    h.pipeline->setSelectedCameraID("own");
    h.settle();
    EXPECT_EQ(h.session().inputLog().size(), inputs);
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
    // A camera plugged in later is listed.
    h.system->plug(kUsbB);
    h.settle();
    EXPECT_EQ(h.cameraIds(), (std::vector<std::string>{"usb-a", "builtin", "usb-b"}));

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

// Pixel access in the renderer's space: origin bottom-left, y up.
cv::Vec4b at(const cv::Mat& m, int x, int y) {
    return m.at<cv::Vec4b>(m.rows - 1 - y, x);
}

cv::Mat covered(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style) {
    cv::Mat out(source.size(), source.type(), cv::Scalar::all(0));
    EXPECT_TRUE(coverFaces(source, rects, style, out));
    return out;
}

int maxDifference(const cv::Mat& a, const cv::Mat& b) {
    return static_cast<int>(cv::norm(a, b, cv::NORM_INF));
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && maxDifference(a, b) == 0;
}

TEST(CoverRenderer, VectorAndPortableKernelsAgreeAndBoxesAreOpaqueBlack) {
    const cv::Mat textured = texturedFrame(320, 240, 11);
    struct Case {
        const char* name;
        const cv::Mat frame;
        Rect face;
    };
    const Case cases[] = {
        {"small", textured, {40.2, 30.9, 9.5, 12.1}},
        {"medium", textured, {150.4, 60.2, 64.7, 80.3}},
        {"larger than the frame", textured, {-90, -80, 500, 420}},
        {"half outside", textured, {-30, 50, 60, 80}},
        {"odd frame size", texturedFrame(37, 23), {3.5, 2.2, 20.1, 17.9}},
        {"frame smaller than the face", texturedFrame(6, 6), {-50, -50, 100, 100}},
    };
    for (const Case& c : cases)
        for (CoverStyle style : allCoverStyles) {
            SCOPED_TRACE(::testing::Message() << c.name << " " << label(style));
            cv::Mat fast, portable;
            ASSERT_TRUE(detail::coverFacesUsing(c.frame, {c.face}, style, fast, true));
            ASSERT_TRUE(detail::coverFacesUsing(c.frame, {c.face}, style, portable, false));
            EXPECT_LE(maxDifference(fast, portable), 1);
            EXPECT_FALSE(samePixels(fast, c.frame));
            if (style != CoverStyle::box)
                continue;
            const Rect v = c.face.integral().intersection(
                Rect{0, 0, double(c.frame.cols), double(c.frame.rows)});
            for (int j = 0; j < c.frame.rows; ++j)
                for (int i = 0; i < c.frame.cols; ++i)
                    ASSERT_TRUE(!v.containsHalfOpen({i + 0.5, j + 0.5}) ||
                                at(fast, i, j) == cv::Vec4b(0, 0, 0, 255))
                        << i << "," << j;
        }
}

TEST(CoverRenderer, EachStyleSkipsBrokenRectsStacksOverlapsHidesDetailAndKeepsRowPadding) {
    const cv::Mat frame = texturedFrame(120, 90);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Rect> skipped = {
        {10, 10, 4, 50},     // 4 px wide
        {30, 10, 50, 4},     // 4 px tall
        {10.2, 60, 3.6, 20}, // whole-pixel edges 10..14: still 4
        {-20, 30, 24, 30},   // 4 px visible at the left edge
        {60, 88, 30, 30},    // 2 px visible at the top
        {200, 10, 30, 30},   // entirely outside
        {10, 10, 0, 0},      // empty
        {nan, 10, 20, 20},   {10, 10, 20, inf},     {-inf, 0, inf, 48},
        {10, 10, -20, 20},   {1e308, 0, 1e308, 10}, {-1e308, 0, 10, 10},
    };
    // Two overlapping faces.
    const cv::Mat large = texturedFrame(240, 200);
    const Rect a{40, 40, 100, 110};
    const Rect b{100, 70, 90, 100};
    // A face of fine 1 px checks: the ellipse styles must leave the mean colour, not the detail.
    cv::Mat checks(160, 160, CV_8UC4);
    for (int r = 0; r < checks.rows; ++r)
        for (int c = 0; c < checks.cols; ++c) {
            const uchar v = ((r + c) % 2 == 0) ? 20 : 230;
            checks.at<cv::Vec4b>(r, c) = cv::Vec4b(v, uchar(255 - v), v, 255);
        }
    // The same pixels inside a larger buffer, so rows are longer than the picture; the output a
    // view into another one, whose pixels outside the view stay as they were.
    const std::vector<Rect> faces = {{3.5, 2.2, 20.1, 17.9}, {-5, 10, 15, 30}};
    const cv::Mat odd = texturedFrame(37, 23);
    cv::Mat big(40, 60, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    cv::Mat padded = big(cv::Rect(11, 9, 37, 23));
    odd.copyTo(padded);
    cv::Mat bigOut(40, 60, CV_8UC4, cv::Scalar::all(9));
    cv::Mat paddedOut = bigOut(cv::Rect(13, 5, 37, 23));

    for (CoverStyle style : allCoverStyles) {
        SCOPED_TRACE(label(style));
        EXPECT_TRUE(samePixels(covered(frame, {}, style), frame));
        EXPECT_TRUE(samePixels(covered(frame, skipped, style), frame));
        // Just above the limit: 5 x 5 visible.
        EXPECT_FALSE(samePixels(covered(frame, {Rect{40.5, 40, 4.2, 5}}, style), frame));
        // Absurdly large but finite: the whole frame, without overflow; the blur leaves one colour.
        const cv::Mat out = covered(frame, {Rect{-1e300, -1e300, 2e300, 2e300}}, style);
        EXPECT_FALSE(samePixels(out, frame));
        if (style != CoverStyle::pixelate) {
            EXPECT_LE(maxDifference(out, cv::Mat(out.size(), out.type(), cv::mean(out))), 1);
        }

        // Deep inside both faces the later one's own covering of the source is on top, whatever
        // the earlier one did there.
        const cv::Mat both = covered(large, {a, b}, style);
        EXPECT_EQ(at(both, 120, 110), at(covered(large, {b}, style), 120, 110));
        EXPECT_EQ(at(covered(large, {b, a}, style), 120, 110),
                  at(covered(large, {a}, style), 120, 110));
        // Covering in place still reads the uncovered frame.
        cv::Mat inPlace = large.clone();
        ASSERT_TRUE(coverFaces(inPlace, {a, b}, style, inPlace));
        EXPECT_TRUE(samePixels(inPlace, both));

        if (style != CoverStyle::box) {
            const cv::Mat smooth = covered(checks, {Rect{30, 30, 100, 100}}, style);
            // Mean absolute step between horizontal neighbours inside the ellipse.
            double roughness = 0;
            for (int y = 60; y < 100; ++y)
                for (int x = 60; x < 100; ++x)
                    for (int c = 0; c < 3; ++c)
                        roughness +=
                            std::abs(int(at(smooth, x + 1, y)[c]) - int(at(smooth, x, y)[c]));
            EXPECT_LT(roughness / (40 * 40 * 3), 1.0);
            EXPECT_NEAR(at(smooth, 80, 80)[0], 125, 2);
        }

        ASSERT_TRUE(coverFaces(padded, faces, style, paddedOut));
        EXPECT_TRUE(samePixels(paddedOut, covered(odd, faces, style)));
        cv::Mat outside = bigOut.clone();
        outside(cv::Rect(13, 5, 37, 23)).setTo(cv::Scalar::all(9));
        EXPECT_EQ(cv::countNonZero(outside.reshape(1) != 9), 0);
    }

    // Refused: no picture, or a destination of another size, which is left as it was. An empty
    // destination is given the frame's size.
    cv::Mat wrongSize(40, 64, CV_8UC4, cv::Scalar(5, 6, 7, 8));
    EXPECT_FALSE(coverFaces(cv::Mat(), {Rect{0, 0, 10, 10}}, CoverStyle::blur, wrongSize));
    EXPECT_FALSE(coverFaces(frame, {}, CoverStyle::blur, wrongSize));
    EXPECT_EQ(wrongSize.at<cv::Vec4b>(0, 0), cv::Vec4b(5, 6, 7, 8));
    cv::Mat fresh;
    EXPECT_TRUE(coverFaces(frame, {}, CoverStyle::blur, fresh));
    EXPECT_TRUE(samePixels(fresh, frame));
}

TEST(CoverRenderer, ConcurrentCallsWithDistinctDestinations) {
    // The first calls in the process race to set up the shared tables.
    const cv::Mat frame = texturedFrame(200, 160, 9);
    const std::vector<Rect> faces = {{20, 30, 90, 100}, {100, 20, 80, 110}};
    std::vector<cv::Mat> outs(4);
    std::vector<std::thread> threads;
    const auto style = [](size_t k) { return k % 2 ? CoverStyle::pixelate : CoverStyle::blur; };
    for (size_t k = 0; k < outs.size(); ++k)
        threads.emplace_back([&, k] { coverFaces(frame, faces, style(k), outs[k]); });
    for (std::thread& t : threads)
        t.join();
    for (size_t k = 0; k < outs.size(); ++k)
        EXPECT_TRUE(samePixels(outs[k], covered(frame, faces, style(k))));
}

constexpr double degree = M_PI / 180;

// In astronaut.png (512 x 512, top-left origin), by eye: the face from the hairline to the chin and
// from cheek to cheek.
const cv::Rect2d astronautFace(175, 72, 102, 110);
// In camera.png: the photographer's face in profile, turned towards image-right.
const cv::Rect2d cameraFace(180, 95, 75, 100);
// Where the pictures are placed in a 1280 x 720 frame unless a test says otherwise.
const cv::Size kFrame(1280, 720);
const cv::Point kAt(384, 104);

cv::Mat loadPicture(const std::string& name) {
    const cv::Mat bgr =
        cv::imread(std::string(ORLENTA_SOURCE_DIR) + "/tests/data/" + name, cv::IMREAD_COLOR);
    cv::Mat bgra;
    if (!bgr.empty())
        cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
}

// A frame of the given size in a plain grey, with the picture scaled by `scale` and its top-left
// corner at `at` (which may lie outside the frame: the picture is cut by the frame's edge).
cv::Mat frameWith(const cv::Mat& picture, cv::Size frame, cv::Point at, double scale = 1) {
    cv::Mat out(frame, CV_8UC4, cv::Scalar(120, 125, 130, 255));
    cv::Mat scaled;
    cv::resize(picture, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
    const cv::Rect placed = cv::Rect(at, scaled.size()) & cv::Rect(cv::Point(), frame);
    scaled(placed - at).copyTo(out(placed));
    return out;
}

// A rectangle in a frame's pixels (top-left origin) as the detector reports it: normalized, origin
// bottom-left.
Rect expectedBox(const cv::Rect2d& r, cv::Point at, double scale, cv::Size frame) {
    const double h = r.height * scale;
    return {(at.x + r.x * scale) / frame.width, 1 - (at.y + r.y * scale + h) / frame.height,
            r.width * scale / frame.width, h / frame.height};
}

const Rect kAstronautBox = expectedBox(astronautFace, kAt, 1, kFrame);

double iou(const Rect& a, const Rect& b) {
    const Rect overlap = a.intersection(b);
    if (overlap.isNull())
        return 0;
    const double common = overlap.width * overlap.height;
    return common / (a.width * a.height + b.width * b.height - common);
}

class FaceDetectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        modelPath = defaultFaceModelPath();
        if (modelPath.empty())
            return;
        // Every pass on every frame, so that results depend on the frame alone.
        FaceDetectorOptions options;
        options.everyTileEachFrame = true;
        options.engine = FaceEngine::xnnpack;
        detector = loadFaceDetector(modelPath, &loadError, options);
        astronaut = loadPicture("astronaut.png");
    }

    void SetUp() override {
        if (modelPath.empty())
            GTEST_SKIP() << "the face model is not installed; run scripts/fetch-model";
        ASSERT_NE(detector, nullptr) << loadError;
        ASSERT_FALSE(astronaut.empty());
    }

    // The most confident face, which must be the only face overlapping `expected`, and at most
    // three faces elsewhere (the recall-first passes find a few weak ones on the suit, the flag
    // and the camera).
    static FaceObservation onlyFaceNear(const cv::Mat& frame, const Rect& expected) {
        const auto faces = detector->detect(frame);
        if (!faces || faces->empty()) {
            ADD_FAILURE() << "no face found";
            return {};
        }
        for (const FaceObservation& f : *faces)
            EXPECT_TRUE(Rect(0, 0, 1, 1).contains(f.boundingBox) && !f.boundingBox.isEmpty());
        const FaceObservation& best = faces->front();
        EXPECT_GT(iou(best.boundingBox, expected), 0.5);
        EXPECT_GE(best.confidence, 0.5f);
        for (std::size_t i = 1; i < faces->size(); ++i) {
            EXPECT_LE(iou((*faces)[i].boundingBox, best.boundingBox), 0.3)
                << "overlapping boxes survived suppression";
            EXPECT_LE((*faces)[i].confidence, best.confidence);
        }
        EXPECT_LE(faces->size(), 4u);
        return best;
    }

    static inline std::string modelPath;
    static inline std::string loadError;
    static inline std::unique_ptr<FaceDetector> detector;
    static inline cv::Mat astronaut;
};

TEST_F(FaceDetectorTest, FindsTheAstronautInFramesOfAnySizeWithItsYawAndNothingInOtherFrames) {
    // Plain frames give none, whatever their size, however degenerate.
    for (const cv::Size size :
         {kFrame, cv::Size(1, 1), cv::Size(1, 720), cv::Size(5000, 2), cv::Size(2, 3)})
        for (const double level : {0.0, 128.0, 255.0}) {
            const auto faces = detector->detect(cv::Mat(size, CV_8UC4, cv::Scalar::all(level)));
            EXPECT_TRUE(faces && faces->empty())
                << size.width << "x" << size.height << " " << level;
        }
    // Frames that are not BGRA pictures give no answer at all (so the caller covers everything);
    // the detector keeps working after them.
    const int dims[] = {2, 720, 1280};
    for (const cv::Mat& bad : {cv::Mat(), cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(0)),
                               cv::Mat(720, 1280, CV_8UC1, cv::Scalar::all(0)),
                               cv::Mat(720, 1280, CV_32FC4, cv::Scalar::all(0)),
                               cv::Mat(0, 1280, CV_8UC4), cv::Mat(3, dims, CV_8UC4)})
        EXPECT_FALSE(detector->detect(bad).has_value()) << bad.type() << " " << bad.rows;

    struct Case {
        cv::Size frame;
        cv::Point at;
        double scale;
    };
    // 4:3 and portrait frames are letterboxed with padding at the sides; a small frame is scaled
    // up, a large one down; faces near and cut by every edge check the offsets; a close-up (the
    // face over half the frame's width, its chin cut off) and faces cut at the brows and by a
    // third at the side, and one cut through the eyes by the top edge.
    const Case cases[] = {
        {kFrame, kAt, 1.0},
        {{640, 480}, {60, 0}, 0.9},
        {{720, 1280}, {100, 300}, 1.0},
        {{400, 300}, {100, 20}, 0.5},
        {{1920, 1080}, {1300, 500}, 1.1},
        {kFrame, {0, 0}, 1.0},
        {kFrame, {760, 200}, 1.0},
        {kFrame, {-200, -85}, 1.0},
        {kFrame, {1020, 580}, 1.0},
        {kFrame, {-975, -504}, 7.0},
        {kFrame, {-25, -242}, 2.5},
        {kFrame, {-527, 70}, 2.5},
        {kFrame, {75, -317}, 2.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frame.width) + "x" + std::to_string(c.frame.height) + " at " +
                     std::to_string(c.at.x) + ", " + std::to_string(c.at.y));
        const Rect truth = expectedBox(astronautFace, c.at, c.scale, c.frame);
        onlyFaceNear(frameWith(astronaut, c.frame, c.at, c.scale),
                     truth.intersection({0, 0, 1, 1}));
    }

    // The cover box widens with the yaw's size: the photographer, turned towards image-right and
    // mirrored, has a large one; the nearly frontal astronaut a small one.
    const cv::Mat turned = frameWith(loadPicture("camera.png"), kFrame, kAt);
    cv::Mat mirrored;
    cv::flip(turned, mirrored, 1);
    const Rect box = expectedBox(cameraFace, kAt, 1, kFrame);
    const Rect flipped{1 - box.maxX(), box.y, box.width, box.height};
    EXPECT_GT(std::abs(onlyFaceNear(turned, box).yaw.value_or(0)), 25 * degree);
    EXPECT_GT(std::abs(onlyFaceNear(mirrored, flipped).yaw.value_or(0)), 25 * degree);
    const cv::Mat frontal = frameWith(astronaut, kFrame, kAt);
    EXPECT_LT(std::abs(onlyFaceNear(frontal, kAstronautBox).yaw.value_or(1)), 20 * degree);
}

TEST_F(FaceDetectorTest, AWeakFaceStaysOnlyWhereACloserLookFindsOneToo) {
    // The astronaut leaning in, cut at the nose by the top edge: from afar the network also sees a
    // weak face in the mirrored margin beside her suit's shoulder at the left edge, which a closer
    // look rejects. Her face stays.
    const double scale = 1280 / (95 / 0.3);
    const cv::Mat affine =
        (cv::Mat_<double>(2, 3) << scale, 0, 448 - 180 * scale, 0, scale, -192 - 85 * scale);
    cv::Mat frame;
    cv::warpAffine(astronaut, frame, affine, kFrame);
    const auto faces = detector->detect(frame);
    ASSERT_TRUE(faces);
    ASSERT_FALSE(faces->empty());
    for (const FaceObservation& f : *faces)
        EXPECT_GT(f.boundingBox.x * kFrame.width, 300) << "a face left of the astronaut's";

    // A weak box reaching past the top edge is looked at too, and needs only the detector's own
    // threshold there: its closer view holds the mirror image of what the edge cut. The
    // astronaut cut through the mouth stays covered; with the photographer cut just below his
    // chin, the weak box on his collar goes.
    for (const auto& [size, at] :
         {std::pair{1.2, cv::Point(384, -165)}, {2.0, cv::Point(0, -320)}}) {
        const auto found = detector->detect(frameWith(astronaut, kFrame, at, size));
        ASSERT_TRUE(found);
        const Rect chin = expectedBox(astronautFace, at, size, kFrame).intersection({0, 0, 1, 1});
        double best = 0;
        for (const FaceObservation& f : *found)
            best = std::max(best, iou(f.boundingBox, chin));
        EXPECT_GT(best, 0.3) << "scale " << size;
    }
    const auto above = detector->detect(frameWith(loadPicture("camera.png"), kFrame, {0, -205}));
    ASSERT_TRUE(above);
    EXPECT_TRUE(above->empty());
}

TEST_F(FaceDetectorTest, EnginesAgreeAndResultsDependOnlyOnTheFrame) {
    // XNNPACK (the fixture's detector) and OpenCV dnn give the same faces within rounding.
    std::string error;
    FaceDetectorOptions options;
    options.everyTileEachFrame = true;
    options.engine = FaceEngine::opencv;
    const auto reference = loadFaceDetector(modelPath, &error, options);
    ASSERT_NE(reference, nullptr) << error;
    const cv::Mat frame = frameWith(astronaut, kFrame, kAt);
    const cv::Mat frames[] = {frame, frameWith(loadPicture("camera.png"), kFrame, {800, 300}),
                              frameWith(astronaut, {640, 480}, {20, 10}, 0.3)};
    std::optional<std::vector<FaceObservation>> first;
    for (const cv::Mat& f : frames) {
        const auto a = reference->detect(f);
        const auto b = detector->detect(f);
        ASSERT_TRUE(a && b);
        if (!first)
            first = b;
        ASSERT_EQ(a->size(), b->size());
        for (std::size_t i = 0; i < a->size(); ++i) {
            const Rect &p = (*a)[i].boundingBox, &q = (*b)[i].boundingBox;
            for (const double d : {p.x - q.x, p.y - q.y, p.width - q.width, p.height - q.height,
                                   double((*a)[i].confidence - (*b)[i].confidence)})
                EXPECT_LT(std::abs(d), 1e-3);
        }
    }
    // After frames of other shapes (whose padding differs), the same pixels as a view into a
    // larger, non-continuous buffer give exactly the first answer.
    cv::Mat larger(900, 1500, CV_8UC4, cv::Scalar(0, 0, 255, 255));
    frame.copyTo(larger(cv::Rect(100, 50, 1280, 720)));
    const auto again = detector->detect(larger(cv::Rect(100, 50, 1280, 720)));
    ASSERT_TRUE(again);
    ASSERT_EQ(again->size(), first->size());
    for (std::size_t i = 0; i < first->size(); ++i) {
        EXPECT_EQ((*again)[i].boundingBox, (*first)[i].boundingBox);
        EXPECT_EQ((*again)[i].confidence, (*first)[i].confidence);
    }
}

TEST(FaceModelLoadTest, BrokenAndForeignModelFilesAreRefusedWithOneLine) {
    const fs::path dir =
        fs::temp_directory_path() / ("orlenta-detect-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "empty.onnx");
    // Half of the real model (when installed; else an empty file).
    std::ifstream model(defaultFaceModelPath(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(model), {}};
    std::ofstream(dir / "truncated.onnx", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    // A well-formed ONNX file of another network (one Softmax).
    const auto field = [](int number, const std::string& payload) {
        return std::string(1, static_cast<char>(number << 3 | 2)) +
               static_cast<char>(payload.size()) + payload;
    };
    const std::string node = field(1, "x") + field(2, "y") + field(4, "Softmax");
    std::ofstream(dir / "other.onnx", std::ios::binary)
        << field(7, field(1, node) + field(11, field(1, "x")) + field(12, field(1, "y")));
    const std::pair<fs::path, std::string> refused[] = {{"", "no face model"},
                                                        {dir / "absent.onnx", "not found"},
                                                        {dir, "not a regular file"},
                                                        {dir / "empty.onnx", "is empty"},
                                                        {dir / "other.onnx", "face model"},
                                                        {dir / "truncated.onnx", "face model"}};
    for (const auto& [path, mention] : refused) {
        std::string error;
        EXPECT_EQ(loadFaceDetector(path, &error), nullptr) << path;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_NE(error.find(mention), std::string::npos) << error;
        EXPECT_EQ(loadFaceDetector(path, nullptr), nullptr); // no reason wanted
    }
    // XNNPACK names what it cannot run.
    std::string error;
    FaceDetectorOptions xnnpack;
    xnnpack.engine = FaceEngine::xnnpack;
    EXPECT_EQ(loadFaceDetector(dir / "other.onnx", &error, xnnpack), nullptr);
    EXPECT_NE(error.find("unsupported Softmax operator"), std::string::npos) << error;
    fs::remove_all(dir);
}

} // namespace
} // namespace orlenta

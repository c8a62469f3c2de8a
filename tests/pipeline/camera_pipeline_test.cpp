#include <atomic>
#include <chrono>
#include <condition_variable>
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

namespace orlenta {
namespace {

// A detector that reports whatever the test tells it to, in normalized bottom-left space.
class ScriptedDetector : public FaceDetector {
public:
    struct Script {
        std::mutex mutex;
        std::optional<std::vector<FaceObservation>> next = std::vector<FaceObservation>{};
        bool raise = false; // throw from the next detect()
    };
    explicit ScriptedDetector(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        std::lock_guard lock(script_->mutex);
        if (std::exchange(script_->raise, false))
            throw std::runtime_error("scripted failure");
        return script_->next;
    }

private:
    std::shared_ptr<Script> script_;
};

class RecordingDisplay : public DisplaySink {
public:
    bool failed = false;
    int flushes = 0;
    int removals = 0;
    std::vector<std::shared_ptr<SampleBuffer>> samples;

    bool hasFailed() const override { return failed; }
    void flush() override {
        ++flushes;
        failed = false;
    }
    void flushAndRemoveImage() override { ++removals; }
    void enqueue(std::shared_ptr<SampleBuffer> sample) override { samples.push_back(sample); }
};

// Counts frames; can hold the video queue inside send() to freeze a frame between its settings
// read and its results.
class RecordingSink : public FrameSink {
public:
    std::atomic<int> frames{0};
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool holding = false;

    void send(const std::shared_ptr<PixelBuffer>&) override {
        ++frames;
        std::unique_lock lock(mutex);
        holding = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !hold; });
        holding = false;
    }
    void release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    bool waitUntilHolding() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return holding; });
    }
};

// Fills a BGRA buffer with a smooth gradient so that covering changes are visible.
std::shared_ptr<SampleBuffer> makeFrame(int width, int height, double seconds) {
    auto buffer = PixelBuffer::create(width, height);
    PixelBufferLock lock(*buffer);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = lock.data() + static_cast<size_t>(y) * buffer->bytesPerRow();
        for (int x = 0; x < width; ++x) {
            row[4 * x + 0] = static_cast<uint8_t>((x * 7 + y * 3) % 256);
            row[4 * x + 1] = static_cast<uint8_t>((x * 13) % 256);
            row[4 * x + 2] = static_cast<uint8_t>((y * 11) % 256);
            row[4 * x + 3] = 255;
        }
    }
    SampleTiming timing;
    timing.presentationTime = Time::fromSeconds(seconds);
    return SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer),
                                     timing);
}

cv::Mat view(const PixelBuffer& buffer) {
    auto& b = const_cast<PixelBuffer&>(buffer);
    b.lockBaseAddress();
    cv::Mat copy =
        cv::Mat(b.height(), b.width(), CV_8UC4, b.baseAddress(), b.bytesPerRow()).clone();
    b.unlockBaseAddress();
    return copy;
}

struct Harness {
    ManualExecutor main;
    std::shared_ptr<ScriptedDetector::Script> script = std::make_shared<ScriptedDetector::Script>();
    std::shared_ptr<RecordingDisplay> display = std::make_shared<RecordingDisplay>();
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<CameraPipeline> pipeline;
    std::mutex framesMutex;
    std::vector<ProcessedFrame> frames;

    explicit Harness(bool withDetector = true) {
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = &main;
        if (withDetector)
            deps.detector = std::make_unique<ScriptedDetector>(script);
        deps.previewLayer = display;
        deps.sink = sink;
        deps.frameClock = [](const SampleBuffer& s) { return s.presentationTime().seconds(); };
        pipeline = CameraPipeline::create(std::move(deps));
        pipeline->setFrameObserver([this](const ProcessedFrame& f) {
            std::lock_guard lock(framesMutex);
            frames.push_back(f);
        });
    }
    ~Harness() {
        // Serve any hop still waiting, then tear down on this (the main) thread.
        main.runPending();
        pipeline.reset();
    }

    void setFaces(std::vector<FaceObservation> faces) {
        std::lock_guard lock(script->mutex);
        script->next = std::move(faces);
    }
    void failDetection() {
        std::lock_guard lock(script->mutex);
        script->next = std::nullopt;
    }
    size_t frameCount() {
        std::lock_guard lock(framesMutex);
        return frames.size();
    }
    ProcessedFrame lastFrame() {
        std::lock_guard lock(framesMutex);
        return frames.back();
    }
    // Feeds one frame through the video queue and serves the main thread until it is done and
    // everything it posted has been delivered.
    ProcessedFrame process(const std::shared_ptr<SampleBuffer>& sample) {
        const size_t before = frameCount();
        pipeline->videoQueue().async([p = pipeline.get(), sample] { p->processFrame(sample); });
        EXPECT_TRUE(main.runUntil([&] { return frameCount() > before; }));
        pipeline->videoQueue().sync([] {});
        main.runPending();
        return lastFrame();
    }
};

FaceObservation faceAt(double x, double y, double w, double h) {
    FaceObservation o;
    o.boundingBox = {x, y, w, h};
    o.confidence = 0.9f;
    o.yaw = 0.0;
    return o;
}

TEST(PipelineGeometry, FitFillsTheOutputAndCutsEquallyOnBothSides) {
    FitTransform wide = CameraPipeline::fitToOutput({1920, 1080});
    EXPECT_DOUBLE_EQ(wide.scale, 2.0 / 3.0);
    EXPECT_NEAR(wide.crop.x, 0, 1e-9);
    EXPECT_NEAR(wide.crop.y, 0, 1e-9);
    EXPECT_NEAR(wide.crop.width, 1920, 1e-9);
    EXPECT_NEAR(wide.crop.height, 1080, 1e-9);

    // 640 x 480 scaled by 2 is 1280 x 960: 120 output rows (60 input rows) cut at each end.
    FitTransform narrow = CameraPipeline::fitToOutput({640, 480});
    EXPECT_DOUBLE_EQ(narrow.scale, 2.0);
    EXPECT_DOUBLE_EQ(narrow.crop.x, 0);
    EXPECT_DOUBLE_EQ(narrow.crop.y, 60);
    EXPECT_DOUBLE_EQ(narrow.crop.width, 640);
    EXPECT_DOUBLE_EQ(narrow.crop.height, 360);

    // A picture taller than wide is cut at top and bottom, never letter-boxed.
    FitTransform portrait = CameraPipeline::fitToOutput({720, 1280});
    EXPECT_DOUBLE_EQ(portrait.scale, 1280.0 / 720.0);
    EXPECT_NEAR(portrait.crop.height, 405, 1e-9);

    // Degenerate sizes do not produce NaN.
    FitTransform none = CameraPipeline::fitToOutput({0, 0});
    EXPECT_DOUBLE_EQ(none.scale, 1);

    // The rendered picture: row 0 of the output shows input row 60 of a 640 x 480 picture.
    auto input = PixelBuffer::create(640, 480);
    {
        PixelBufferLock lock(*input);
        for (int y = 0; y < 480; ++y)
            std::memset(lock.data() + y * input->bytesPerRow(), y < 60 || y >= 420 ? 255 : 0,
                        input->bytesPerRow());
    }
    auto output = PixelBuffer::create(1280, 720);
    ASSERT_TRUE(CameraPipeline::renderFit(*input, *output));
    cv::Mat out = view(*output);
    // Everything visible comes from rows 60..419, which are black: nothing of the cut rows
    // shows except at most one blended edge row.
    EXPECT_EQ(out.at<cv::Vec4b>(2, 640)[0], 0);
    EXPECT_EQ(out.at<cv::Vec4b>(717, 640)[0], 0);
}

TEST(PipelineGeometry, MarkSpaceConversions) {
    Rect mark = CameraPipeline::toMarkSpace({320, 180, 128, 144});
    EXPECT_DOUBLE_EQ(mark.x, 0.25);
    EXPECT_DOUBLE_EQ(mark.y, 0.55);
    EXPECT_DOUBLE_EQ(mark.width, 0.1);
    EXPECT_DOUBLE_EQ(mark.height, 0.2);
    Point p = CameraPipeline::toOutputPixels({0.5, 0.25});
    EXPECT_DOUBLE_EQ(p.x, 640);
    EXPECT_DOUBLE_EQ(p.y, 540);
}

TEST(Pipeline, FramesAreScaledCoveredPreviewedSentAndPublished) {
    Harness h;
    // No faces: the output is exactly the scaled camera picture, and it still goes everywhere.
    ProcessedFrame f = h.process(makeFrame(1920, 1080, 0.0));
    ASSERT_TRUE(f.output);
    EXPECT_EQ(f.output->width(), 1280);
    EXPECT_EQ(f.output->height(), 720);
    auto expected = PixelBuffer::create(1280, 720);
    ASSERT_TRUE(CameraPipeline::renderFit(*f.input->imageBuffer(), *expected));
    EXPECT_EQ(cv::norm(view(*f.output), view(*expected), cv::NORM_INF), 0);
    EXPECT_EQ(h.sink->frames.load(), 1);
    ASSERT_EQ(h.display->samples.size(), 1u);
    EXPECT_EQ(h.display->samples[0]->imageBuffer(), f.output); // shared, not copied
    EXPECT_TRUE(h.display->samples[0]->sampleAttachments(false).at(0).displayImmediately);
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());

    // A face in the middle: covered in the output, published as a hidden mark with the
    // tracker's rect in mark space.
    h.setFaces({faceAt(0.45, 0.4, 0.1, 0.2)});
    f = h.process(makeFrame(1920, 1080, 1.0 / 30));
    ASSERT_EQ(f.faces.size(), 1u);
    ASSERT_EQ(h.pipeline->faceMarks.get().size(), 1u);
    const FaceMark mark = h.pipeline->faceMarks.get()[0];
    EXPECT_FALSE(mark.shown);
    EXPECT_EQ(mark.rect, CameraPipeline::toMarkSpace(f.faces[0].rect));
    const cv::Point centre(640, 720 - 360);
    EXPECT_GT(cv::norm(view(*f.output)(cv::Rect(centre.x - 20, centre.y - 20, 40, 40)),
                       view(*expected)(cv::Rect(centre.x - 20, centre.y - 20, 40, 40)),
                       cv::NORM_L1),
              0);
    // The far corner is untouched.
    EXPECT_EQ(cv::norm(view(*f.output)(cv::Rect(0, 0, 100, 100)),
                       view(*expected)(cv::Rect(0, 0, 100, 100)), cv::NORM_INF),
              0);

    // A click on the mark shows the face: published shown, and no longer covered.
    h.pipeline->toggleFace({mark.rect.midX(), mark.rect.midY()});
    h.pipeline->videoQueue().sync([] {});
    h.main.runPending();
    ASSERT_EQ(h.pipeline->faceMarks.get().size(), 1u);
    EXPECT_TRUE(h.pipeline->faceMarks.get()[0].shown);
    f = h.process(makeFrame(1920, 1080, 2.0 / 30));
    EXPECT_EQ(cv::norm(view(*f.output), view(*expected), cv::NORM_INF), 0);
    EXPECT_TRUE(h.pipeline->faceMarks.get()[0].shown);

    // Hide all covers it again.
    h.pipeline->hideAllFaces();
    h.pipeline->videoQueue().sync([] {});
    h.main.runPending();
    EXPECT_FALSE(h.pipeline->faceMarks.get()[0].shown);

    // A click on empty space publishes nothing.
    const size_t assignments = h.pipeline->faceMarks.assignmentCount();
    h.pipeline->toggleFace({0.02, 0.02});
    h.pipeline->videoQueue().sync([] {});
    h.main.runPending();
    EXPECT_EQ(h.pipeline->faceMarks.assignmentCount(), assignments);
}

TEST(Pipeline, UnchangedFaceMarksAreNotReassigned) {
    Harness h;
    h.setFaces({faceAt(0.3, 0.3, 0.1, 0.15)});
    // The same face every frame: the rect settles on its target and then stays exactly equal.
    for (int i = 0; i < 40; ++i)
        h.process(makeFrame(1280, 720, i / 30.0));
    const size_t assignments = h.pipeline->faceMarks.assignmentCount();
    for (int i = 40; i < 45; ++i)
        h.process(makeFrame(1280, 720, i / 30.0));
    EXPECT_EQ(h.pipeline->faceMarks.assignmentCount(), assignments);
    EXPECT_EQ(h.pipeline->faceMarks.get().size(), 1u);
}

TEST(Pipeline, PauseClearsAtOnceAndDiscardsLateResults) {
    Harness h;
    h.setFaces({faceAt(0.3, 0.3, 0.1, 0.15)});
    h.process(makeFrame(1280, 720, 0));
    ASSERT_EQ(h.pipeline->faceMarks.get().size(), 1u);

    // A frame that has read its settings but not yet delivered its results when the user
    // pauses: the sink holds it right after its settings hop.
    {
        std::lock_guard lock(h.sink->mutex);
        h.sink->hold = true;
    }
    h.pipeline->videoQueue().async(
        [p = h.pipeline.get(), s = makeFrame(1280, 720, 0.1)] { p->processFrame(s); });
    for (int i = 0; i < 500 && h.main.pendingCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    h.main.runPending(); // serves the frame's settings hop
    ASSERT_TRUE(h.sink->waitUntilHolding());
    const size_t previews = h.display->samples.size();

    h.pipeline->setPaused(true);
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());
    EXPECT_EQ(h.display->removals, 1);
    h.sink->release();
    h.pipeline->videoQueue().sync([] {});
    h.main.runPending();
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty()) << "a late frame republished face marks";
    EXPECT_EQ(h.display->samples.size(), previews) << "a late frame reached the preview";

    // While paused, frames that still arrive are not processed.
    const int sent = h.sink->frames.load();
    h.pipeline->videoQueue().async(
        [p = h.pipeline.get(), s = makeFrame(1280, 720, 0.2)] { p->processFrame(s); });
    h.main.runUntil([&] { return false; }, 0.2);
    h.pipeline->videoQueue().sync([] {});
    EXPECT_EQ(h.sink->frames.load(), sent);

    // Pausing twice does nothing more; resuming starts from an empty tracker.
    h.pipeline->setPaused(true);
    EXPECT_EQ(h.display->removals, 1);
    h.pipeline->setPaused(false);
    h.setFaces({});
    ProcessedFrame f = h.process(makeFrame(1280, 720, 0.3));
    EXPECT_TRUE(f.faces.empty());
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());
}

TEST(Pipeline, FailsClosedWhenFacesCannotBeDetected) {
    // No detector at all: every frame leaves entirely black, and the state says why.
    {
        Harness h(false);
        EXPECT_TRUE(h.pipeline->faceDetectionFailed.get());
        ProcessedFrame f = h.process(makeFrame(1280, 720, 0));
        ASSERT_TRUE(f.output);
        EXPECT_TRUE(f.coveredWholeFrame);
        cv::Mat out = view(*f.output);
        cv::Mat channels[4];
        cv::split(out, channels);
        EXPECT_EQ(cv::countNonZero(channels[0]) + cv::countNonZero(channels[1]) +
                      cv::countNonZero(channels[2]),
                  0);
        EXPECT_EQ(cv::countNonZero(channels[3]), 1280 * 720);
    }
    // A detector that fails, or throws: that very frame leaves black, and the next successful
    // detection brings the picture back. Frames keep flowing after an exception.
    {
        Harness h;
        h.setFaces({faceAt(0.45, 0.4, 0.1, 0.2)});
        h.process(makeFrame(1280, 720, 0));
        h.failDetection();
        ProcessedFrame f = h.process(makeFrame(1280, 720, 0.1));
        EXPECT_FALSE(f.detectionSucceeded);
        EXPECT_TRUE(f.coveredWholeFrame);
        ASSERT_TRUE(f.output);
        EXPECT_EQ(cv::countNonZero(view(*f.output).reshape(1) != 0), 1280 * 720); // alpha only
        EXPECT_TRUE(h.pipeline->faceDetectionFailed.get());
        h.setFaces({});
        f = h.process(makeFrame(1280, 720, 0.2));
        EXPECT_FALSE(f.coveredWholeFrame);
        EXPECT_FALSE(h.pipeline->faceDetectionFailed.get());

        {
            std::lock_guard lock(h.script->mutex);
            h.script->raise = true;
        }
        const int sentBefore = h.sink->frames.load();
        f = h.process(makeFrame(1280, 720, 0.3));
        EXPECT_TRUE(f.coveredWholeFrame);
        ASSERT_TRUE(f.output);
        EXPECT_EQ(cv::countNonZero(view(*f.output).reshape(1) != 0), 1280 * 720);
        EXPECT_EQ(h.sink->frames.load(), sentBefore + 1);
        f = h.process(makeFrame(1280, 720, 0.4));
        EXPECT_FALSE(f.coveredWholeFrame);
    }
}

TEST(Pipeline, UncoveredPicturesNeverShareMemoryWithOutputs) {
    // Buffers are recycled frame after frame: were the uncovered picture drawn in an output
    // buffer, a buffer that left as an output would come back holding an uncovered picture.
    Harness h;
    h.setFaces({faceAt(0.45, 0.4, 0.1, 0.2)});
    std::set<uint64_t> outputs, uncovered;
    for (int i = 0; i < 12; ++i) {
        const ProcessedFrame f = h.process(makeFrame(1280, 720, i / 30.0));
        ASSERT_TRUE(f.output && f.uncovered);
        outputs.insert(f.output->serial());
        uncovered.insert(f.uncovered->serial());
        // Let go of the frame, as the preview and the virtual camera do.
        h.display->samples.clear();
        std::lock_guard lock(h.framesMutex);
        h.frames.clear();
    }
    for (const uint64_t serial : uncovered)
        EXPECT_EQ(outputs.count(serial), 0u);
}

TEST(Pipeline, PreviewInFailedStateIsFlushedBeforeTheNextFrame) {
    Harness h;
    h.display->failed = true;
    h.process(makeFrame(640, 480, 0));
    EXPECT_EQ(h.display->flushes, 1);
    EXPECT_EQ(h.display->samples.size(), 1u);
}

TEST(Pipeline, DropsFramesWithoutPictureOrBuffers) {
    Harness h;
    // A sample with no picture is dropped: nothing is sent or tracked.
    SampleTiming timing;
    auto empty = SampleBuffer::createReady(nullptr, {}, timing);
    EXPECT_EQ(empty, nullptr); // cannot even be made; feed a null sample instead
    const size_t before = h.frameCount();
    h.pipeline->videoQueue().async([p = h.pipeline.get()] { p->processFrame(nullptr); });
    h.pipeline->videoQueue().sync([] {});
    h.main.runPending();
    EXPECT_EQ(h.frameCount(), before + 1);
    EXPECT_FALSE(h.lastFrame().output);
    EXPECT_EQ(h.sink->frames.load(), 0);

    // Odd camera sizes still give 1280 x 720.
    ProcessedFrame f = h.process(makeFrame(3, 5, 0));
    ASSERT_TRUE(f.output);
    EXPECT_EQ(f.output->width(), 1280);
}

} // namespace
} // namespace orlenta

// The pipeline's side of the virtual camera: every frame is offered to the sink, and the link is
// checked at start, every 2 s and when the system's camera devices change.
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"

namespace orlenta {
namespace {

// A sink whose connect() answer the test sets; counts what the pipeline asks of it.
class ScriptedSink : public FrameSink {
public:
    std::atomic<bool> answer{false};
    std::atomic<int> connects{0};
    std::atomic<int> frames{0};
    Task onDevicesChanged;

    void send(const std::shared_ptr<PixelBuffer>&) override { ++frames; }
    bool connect() override {
        ++connects;
        return answer;
    }
    void setOnDevicesChanged(Task callback) override { onDevicesChanged = std::move(callback); }
};

struct HandOff {
    ManualExecutor main;
    std::shared_ptr<ScriptedSink> sink = std::make_shared<ScriptedSink>();
    std::shared_ptr<CameraPipeline> pipeline;

    HandOff() {
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = &main;
        deps.sink = sink;
        pipeline = CameraPipeline::create(std::move(deps));
    }
    ~HandOff() {
        settle();
        pipeline.reset();
    }
    // Lets the video queue finish what was posted and delivers its answers to the main thread.
    // The main thread must not wait for the video queue (which may be waiting for it), so it
    // serves its own work until a marker posted behind everything else has run.
    void settle() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        pipeline->videoQueue().async([done] { *done = true; });
        EXPECT_TRUE(main.runUntil([&] { return done->load(); }));
        main.runPending();
    }
};

TEST(PipelineVirtualCamera, ChecksAtStartOnTheTimerAndOnDeviceChanges) {
    HandOff h;
    EXPECT_FALSE(h.pipeline->virtualCameraConnected.get());
    EXPECT_EQ(h.sink->connects.load(), 0) << "nothing is checked before start()";

    h.pipeline->start();
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 1);
    EXPECT_EQ(h.pipeline->virtualCameraConnected.assignmentCount(), 1u);
    EXPECT_FALSE(h.pipeline->virtualCameraConnected.get());
    EXPECT_EQ(h.main.activeTimerCount(), 1u);

    // With no virtual camera, every 2 s the property is assigned again and stays false.
    h.main.advance(1.9);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 1);
    h.main.advance(0.1);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 2);
    EXPECT_EQ(h.pipeline->virtualCameraConnected.assignmentCount(), 2u);
    EXPECT_FALSE(h.pipeline->virtualCameraConnected.get());

    // The daemon appears: a device-list change checks at once, without waiting for the timer.
    h.sink->answer = true;
    ASSERT_TRUE(h.sink->onDevicesChanged);
    h.sink->onDevicesChanged();
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 3);
    EXPECT_TRUE(h.pipeline->virtualCameraConnected.get());

    // The answer is assigned on every check, also when unchanged.
    h.main.advance(2.0);
    h.settle();
    EXPECT_EQ(h.pipeline->virtualCameraConnected.assignmentCount(), 4u);
    EXPECT_TRUE(h.pipeline->virtualCameraConnected.get());

    // The link goes away between checks: the property keeps its value until the next check.
    h.sink->answer = false;
    h.main.advance(1.0);
    h.settle();
    EXPECT_TRUE(h.pipeline->virtualCameraConnected.get());
    h.main.advance(1.0);
    h.settle();
    EXPECT_FALSE(h.pipeline->virtualCameraConnected.get());
}

TEST(PipelineVirtualCamera, StartingTwiceLeavesOneTimerAndChecksOnceMore) {
    HandOff h;
    h.pipeline->start();
    h.settle();
    h.main.advance(1.0);
    h.pipeline->start();
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 2);
    EXPECT_EQ(h.main.activeTimerCount(), 1u);
    // The new timer counts from the second start: no check at the old timer's 2 s mark.
    h.main.advance(1.0);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 2);
    h.main.advance(1.0);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 3);
}

TEST(PipelineVirtualCamera, CallbacksDoNothingOnceThePipelineIsGone) {
    auto main = std::make_unique<ManualExecutor>();
    auto sink = std::make_shared<ScriptedSink>();
    {
        CameraPipeline::Dependencies deps;
        deps.mainExecutor = main.get();
        deps.sink = sink;
        auto pipeline = CameraPipeline::create(std::move(deps));
        pipeline->start();
        auto done = std::make_shared<std::atomic<bool>>(false);
        pipeline->videoQueue().async([done] { *done = true; });
        EXPECT_TRUE(main->runUntil([&] { return done->load(); }));
        main->runPending();
    }
    const int connects = sink->connects.load();
    ASSERT_TRUE(sink->onDevicesChanged);
    sink->onDevicesChanged(); // holds only a weak reference: harmless now
    main->advance(10.0);
    main->runPending();
    EXPECT_EQ(sink->connects.load(), connects);
}

} // namespace
} // namespace orlenta

// The pipeline's side of the virtual camera: every frame is offered to the sink, and the link is
// checked at start, every 2 s and when the system's camera devices change.
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

#include "app/pipeline/camera_pipeline.h"

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
    h.main.advance(5.0);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 0) << "nothing is checked before start()";

    // Each step: seconds passed (negative: a device-list change instead), the sink's answer,
    // then the checks so far, the property's assignments so far and its value. Every check
    // assigns its answer, also an unchanged one; between checks the value stays.
    struct Step {
        double advance;
        bool answer;
        int connects;
        size_t assignments;
        bool connected;
    };
    h.pipeline->start();
    h.settle();
    EXPECT_EQ(h.main.activeTimerCount(), 1u);
    const Step steps[] = {
        {0, false, 1, 1, false},   {1.9, false, 1, 1, false}, {0.1, false, 2, 2, false},
        {-1, true, 3, 3, true},    {2.0, true, 4, 4, true},   {1.0, false, 4, 4, true},
        {1.0, false, 5, 5, false},
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
        EXPECT_EQ(h.pipeline->virtualCameraConnected.assignmentCount(), step.assignments)
            << "step " << i;
        EXPECT_EQ(h.pipeline->virtualCameraConnected.get(), step.connected) << "step " << i;
    }

    // Starting again checks once more and replaces the timer, which counts from now.
    h.main.advance(1.0);
    h.pipeline->start();
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 6);
    EXPECT_EQ(h.main.activeTimerCount(), 1u);
    h.main.advance(1.0);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 6);
    h.main.advance(1.0);
    h.settle();
    EXPECT_EQ(h.sink->connects.load(), 7);
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

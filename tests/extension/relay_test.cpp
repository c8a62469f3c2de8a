// The daemon's roles over the in-memory service with time driven by hand: sink-client admission,
// the relay from the sink stream to the readers, the 30 Hz placeholder timer, and the pull loop's
// retries, and the second output (the V4L2 device) fed the readers' pictures.
#include <gtest/gtest.h>
#include <mutex>

#include "extension/extension_device_source_testing.h"
#include "tests/testing/daemon_fixture.h"

namespace orlenta {
namespace {

using testing::DaemonFixture;
using testing::kHostClockOffset;

constexpr double kPeriod = 1.0 / 30.0;

// A sample of its own picture (the tests follow samples by identity), stamped by its number.
std::shared_ptr<SampleBuffer> frame(uint8_t number, int width = 1280, int height = 720) {
    auto buffer = PixelBuffer::create(width, height);
    return SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer),
                                     {Time::invalid(), Time::make(number, 30), Time::invalid()});
}

// The app: a client writing into the sink stream through its own queue.
struct Writer {
    explicit Writer(DaemonFixture& fixture)
        : daemon(fixture), client(std::make_shared<CameraExtensionClient>(1, "app")),
          queue(fixture.service->writerQueue(fixture.sinkStream(), client)) {}
    // As the service does when the client starts the sink stream: admission, then start; or stop.
    void start() {
        daemon.device().sinkStream()->authorizedToStartStream(client);
        daemon.device().sinkStream()->startStream();
    }
    void stop() { daemon.device().sinkStream()->stopStream(); }
    size_t acknowledged() { return daemon.service->scheduledOutputs(*daemon.sinkStream()).size(); }

    DaemonFixture& daemon;
    CameraExtensionClientPtr client;
    std::shared_ptr<SinkBufferQueue> queue;
};

bool isPlaceholder(DaemonFixture& daemon, const MemoryCameraService::SentSample& sent) {
    return sent.sampleBuffer->imageBuffer() ==
           ExtensionDeviceSourceTesting::placeholder(daemon.device());
}

TEST(ExtensionRoles, SinkAdmissionKeepsTheLatestClientAndStartConsumesOnlyFromIt) {
    DaemonFixture daemon;
    ExtensionDeviceSource& device = daemon.device();
    ExtensionStreamSink& sink = *device.sinkStream();
    const auto first = std::make_shared<CameraExtensionClient>(1, "first");
    const auto second = std::make_shared<CameraExtensionClient>(2, "second");
    EXPECT_TRUE(sink.authorizedToStartStream(first));
    EXPECT_TRUE(sink.authorizedToStartStream(second));
    daemon.pump();
    EXPECT_EQ(daemon.service->consumeRequestCount(), 0u) << "admission alone starts nothing";

    // Both clients write; only the second one's frames are taken.
    for (const auto& client : {first, second})
        ASSERT_TRUE(daemon.service->writerQueue(daemon.sinkStream(), client)->enqueue(frame(1)));
    EXPECT_TRUE(sink.startStream());
    daemon.pump();
    EXPECT_EQ(daemon.service->scheduledOutputs(*daemon.sinkStream()).size(), 1u);
    EXPECT_EQ(daemon.service->pendingConsumeCount(), 1u) << "and the next request waits";

    // Stop ends the requests but keeps the admitted client; a new start reuses it.
    EXPECT_TRUE(sink.stopStream());
    EXPECT_FALSE(ExtensionDeviceSourceTesting::sinkClient(device));
    EXPECT_TRUE(sink.startStream());
    EXPECT_EQ(ExtensionDeviceSourceTesting::sinkClient(device), second);
}

TEST(PlaceholderTimer, ThirtyHertzFromTheFirstReaderUntilTheLastOneStops) {
    DaemonFixture daemon;
    daemon.timers->advance(10); // the clock need not start at zero
    ExtensionStreamSource& source = *daemon.device().sourceStream();
    source.startStream();
    daemon.pump();
    ASSERT_EQ(daemon.takeSent().size(), 1u) << "the first tick comes at once";
    source.startStream();

    daemon.advance(1.0 - 1e-6);
    const auto sent = daemon.takeSent();
    ASSERT_EQ(sent.size(), 29u) << "30 frames in the first second, one per tick for two readers";
    for (const auto& sample : sent) {
        EXPECT_TRUE(isPlaceholder(daemon, sample));
        EXPECT_EQ(sample.discontinuity, 0u);
        EXPECT_EQ(sample.sampleBuffer->timing().duration, Time::make(1, 30));
        EXPECT_EQ(hostTimeInNanoseconds(sample.sampleBuffer->presentationTime()),
                  sample.hostTimeInNanoseconds);
    }
    // On the grid from the first tick: no drift over the second.
    const double first = static_cast<double>(sent.front().hostTimeInNanoseconds) * 1e-9;
    const double last = static_cast<double>(sent.back().hostTimeInNanoseconds) * 1e-9;
    EXPECT_NEAR(first, kHostClockOffset + 10 + kPeriod, 1e-6);
    EXPECT_NEAR(last - first, 28 * kPeriod, 1e-6);

    source.stopStream();
    daemon.advance(0.1);
    EXPECT_EQ(daemon.takeSent().size(), 3u) << "one reader left";
    source.stopStream();
    daemon.advance(1);
    EXPECT_TRUE(daemon.takeSent().empty());
    EXPECT_EQ(daemon.timers->pendingCount(), 0u) << "a cancelled timer leaves nothing behind";

    // A stop too many counts for nothing: the next first reader starts a timer, again at once.
    daemon.device().stopSource();
    source.startStream();
    daemon.pump();
    EXPECT_EQ(daemon.takeSent().size(), 1u);
    source.stopStream();
    daemon.advance(0.1);
    EXPECT_TRUE(daemon.takeSent().empty());

    // Without a picture nothing is sent.
    DaemonFixture pictureless([] { return std::shared_ptr<PixelBuffer>(); });
    pictureless.device().startSource();
    pictureless.advance(0.5);
    EXPECT_TRUE(pictureless.takeSent().empty());
}

TEST(Relay, WrittenFramesReachTheReadersUnchangedAndAreAcknowledged) {
    DaemonFixture daemon;
    Writer writer(daemon);
    ASSERT_TRUE(writer.queue->enqueue(frame(1))); // before the start
    writer.start();
    daemon.pump();
    EXPECT_EQ(writer.queue->count(), 0) << "the waiting frame was taken at the start";
    EXPECT_TRUE(daemon.takeSent().empty());
    EXPECT_EQ(writer.acknowledged(), 1u) << "acknowledged without readers";

    // A reader that comes 0.2 s later gets no placeholder until the sink has been idle 0.5 s.
    daemon.advance(0.2);
    daemon.device().startSource();
    daemon.advance(0.2);
    EXPECT_TRUE(daemon.takeSent().empty());
    daemon.advance(0.2);
    EXPECT_FALSE(daemon.takeSent().empty());

    std::vector<std::shared_ptr<SampleBuffer>> written;
    for (int i = 0; i < 5; ++i) {
        written.push_back(frame(static_cast<uint8_t>(10 + i)));
        ASSERT_TRUE(writer.queue->enqueue(written.back()));
        daemon.advance(kPeriod);
    }
    const auto sent = daemon.takeSent();
    ASSERT_EQ(sent.size(), written.size()) << "while frames flow, no placeholder goes out";
    const auto outputs = daemon.service->scheduledOutputs(*daemon.sinkStream());
    ASSERT_EQ(outputs.size(), written.size() + 1) << "also the frame sent before any reader";
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].sampleBuffer, written[i]) << "the very sample the app wrote";
        EXPECT_EQ(sent[i].discontinuity, 0u);
        EXPECT_EQ(outputs[i + 1].sequenceNumber, i + 2);
        EXPECT_EQ(outputs[i + 1].hostTimeInNanoseconds, sent[i].hostTimeInNanoseconds);
    }

    // The app goes quiet: the placeholder is back after half a second, at the tick rate.
    daemon.advance(0.45);
    EXPECT_TRUE(daemon.takeSent().empty());
    daemon.advance(0.2);
    const auto later = daemon.takeSent();
    EXPECT_GE(later.size(), 4u);
    for (const auto& sample : later)
        EXPECT_TRUE(isPlaceholder(daemon, sample));
    // The first relayed frame ends the placeholder at once.
    ASSERT_TRUE(writer.queue->enqueue(frame(99)));
    daemon.advance(0.3);
    const auto resumed = daemon.takeSent();
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_FALSE(isPlaceholder(daemon, resumed[0]));

    // Any size passes on as it is; the sink's discontinuity does not, its sequence is
    // acknowledged.
    ConsumedSampleBuffer odd;
    odd.sampleBuffer = frame(3, 64, 48);
    odd.sequenceNumber = 77;
    odd.discontinuity = 0x10;
    daemon.device().handleConsumedBuffer(odd, nullptr);
    const auto passed = daemon.takeSent();
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_EQ(passed[0].sampleBuffer, odd.sampleBuffer);
    EXPECT_EQ(passed[0].discontinuity, 0u);
    EXPECT_EQ(daemon.service->scheduledOutputs(*daemon.sinkStream()).back().sequenceNumber, 77u);
}

TEST(PullLoop, FailuresAreRetriedEveryFiveMsAStopRelaysWhatIsOutAndAGoneDeviceIgnoresIt) {
    DaemonFixture daemon;
    Writer writer(daemon);
    daemon.service->failNextConsumes(1000);
    writer.start();
    daemon.pump();
    EXPECT_EQ(daemon.service->consumeRequestCount(), 1u);
    daemon.timers->advance(0.0049);
    daemon.pump();
    EXPECT_EQ(daemon.service->consumeRequestCount(), 1u) << "not before 5 ms";
    daemon.timers->advance(0.0002);
    daemon.pump();
    EXPECT_EQ(daemon.service->consumeRequestCount(), 2u);
    daemon.advance(0.1 - 0.0051, 0.0005);
    const size_t afterOneTenth = daemon.service->consumeRequestCount();
    EXPECT_GE(afterOneTenth, 19u);
    EXPECT_LE(afterOneTenth, 21u);

    writer.stop();
    daemon.advance(0.1);
    EXPECT_LE(daemon.service->consumeRequestCount(), afterOneTenth + 1)
        << "the loop ends at the first retry after the stop";
    const size_t settled = daemon.service->consumeRequestCount();
    daemon.advance(0.1);
    EXPECT_EQ(daemon.service->consumeRequestCount(), settled);

    // Recovery: the failures end, the sink starts again, frames flow.
    daemon.service->failNextConsumes(0);
    writer.start();
    daemon.pump();
    ASSERT_TRUE(writer.queue->enqueue(frame(1)));
    daemon.pump();
    EXPECT_EQ(writer.acknowledged(), 1u);

    // A stop relays the buffer still outstanding, then ends.
    daemon.device().startSource();
    daemon.pump();
    daemon.takeSent();
    ASSERT_EQ(daemon.service->pendingConsumeCount(), 1u);
    const size_t requests = daemon.service->consumeRequestCount();

    writer.stop();
    daemon.pump();
    const auto late = frame(42);
    ASSERT_TRUE(writer.queue->enqueue(late));
    daemon.pump();
    const auto sent = daemon.takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].sampleBuffer, late);
    EXPECT_EQ(writer.acknowledged(), 2u);
    EXPECT_EQ(daemon.service->consumeRequestCount(), requests) << "no further request";

    // A completion that comes after the device source has gone does nothing; the stream roles
    // answer success and do nothing.
    writer.start();
    daemon.pump();
    ASSERT_EQ(daemon.service->pendingConsumeCount(), 1u);
    const auto sink = daemon.sinkStream();
    const auto roles = std::pair{daemon.device().sourceStream(), daemon.device().sinkStream()};
    daemon.provider.reset();
    ASSERT_TRUE(writer.queue->enqueue(frame(1)));
    EXPECT_TRUE(roles.first->startStream() && roles.first->stopStream());
    EXPECT_TRUE(roles.second->authorizedToStartStream(writer.client));
    EXPECT_TRUE(roles.second->startStream() && roles.second->stopStream());
    daemon.advance(0.1);
    EXPECT_EQ(daemon.service->scheduledOutputs(*sink).size(), 2u);
    EXPECT_EQ(daemon.service->consumeRequestCount(), requests + 1);
}

// What the device source hands its second output.
struct OfferedFrames final : FrameOutput {
    std::mutex mutex;
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    std::atomic<bool> wants{false};
    std::function<void()> handler;
    void offer(std::shared_ptr<PixelBuffer> frame) override {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
    }
    bool wantsFrames() const override { return wants; }
    void setWantsFramesHandler(std::function<void()> h) override { handler = std::move(h); }
    void set(bool value) { wants = value, handler(); }
    std::vector<std::shared_ptr<PixelBuffer>> take() { return std::exchange(frames, {}); }
};

TEST(LoopbackRelay, TheDeviceGetsWhatReadersGetAndPipeWireGoesOnWithoutIt) {
    auto offered = std::make_shared<OfferedFrames>();
    DaemonFixture daemon({}, offered);
    ExtensionDeviceSource& device = daemon.device();
    const auto placeholder = [&] { return ExtensionDeviceSourceTesting::placeholder(device); };
    daemon.advance(1);
    EXPECT_TRUE(offered->take().empty()) << "nothing while no device is open";
    EXPECT_FALSE(ExtensionDeviceSourceTesting::hasPlaceholderTimer(device));

    // A device alone, without PipeWire readers: the placeholder at 30 Hz.
    offered->set(true);
    daemon.advance(0.1 - 1e-6);
    auto frames = offered->take();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], placeholder());

    // With a reader too, the app's frames go to both, the very same pictures.
    device.startSource();
    daemon.pump();
    daemon.takeSent();
    offered->take();
    for (uint8_t shade : {uint8_t{10}, uint8_t{20}}) {
        ConsumedSampleBuffer consumed;
        consumed.sampleBuffer = frame(shade);
        device.handleConsumedBuffer(consumed, nullptr);
        daemon.advance(1.0 / 30);
    }
    const auto sent = daemon.takeSent();
    frames = offered->take();
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_EQ(frames.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(frames[i], sent[i].sampleBuffer->imageBuffer());

    // The device goes: the reader still gets frames and, once the app is silent, the placeholder.
    offered->set(false);
    daemon.advance(1);
    EXPECT_TRUE(offered->take().empty());
    EXPECT_GE(daemon.takeSent().size(), 10u);
    device.stopSource();
    EXPECT_FALSE(ExtensionDeviceSourceTesting::hasPlaceholderTimer(device));
}

} // namespace
} // namespace orlenta

// VirtualCameraSink over the in-memory camera service: finding the device and its sink stream,
// every failure a connection can meet, the full-queue timeout, the device-list listener, and the
// buffer references it keeps (or must not keep).
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "app/sink/virtual_camera_sink.h"
#include "camera_service/virtual_camera.h"
#include "extension/placeholder.h"
#include "media/dispatch.h"
#include "media/log.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "tests/testing/camera_service_memory.h"
#include "tests/testing/daemon_fixture.h"

namespace orlenta {
namespace {

// The daemon's roles draw the placeholder; its font caches go at the end of the run.
class FontCaches final : public ::testing::Environment {
public:
    void TearDown() override { releasePlaceholderFontCaches(); }
};
[[maybe_unused]] ::testing::Environment* const fontCaches =
    ::testing::AddGlobalTestEnvironment(new FontCaches);

using Streams = std::vector<MemoryCameraService::PlainStream>;

const std::string kUid(virtual_camera::kDeviceId);
const std::string kName(virtual_camera::kDeviceName);
const std::string kLowerUid = "6f4e2c1a-8b3d-4e5f-9a7b-1c2d3e4f5a6b";

MemoryCameraService::PlainStream sinkStream(int32_t capacity = 1) {
    MemoryCameraService::PlainStream stream;
    stream.queueCapacity = capacity;
    return stream;
}

MemoryCameraService::PlainStream sourceStream() {
    MemoryCameraService::PlainStream stream;
    stream.direction = kSystemStreamDirectionSource;
    return stream;
}

std::shared_ptr<PixelBuffer> outputFrame() {
    return PixelBuffer::create(1280, 720);
}

// The in-memory service, with a record of the starts and stops asked of it (also those it
// answers with a failure, which it does not count itself).
class RecordingSystem final : public CameraSystem {
public:
    explicit RecordingSystem(std::shared_ptr<MemoryCameraService> inner)
        : inner_(std::move(inner)) {}

    std::vector<CameraObjectId> devices() const override { return inner_->devices(); }
    std::optional<std::string> deviceUniqueId(CameraObjectId device) const override {
        return inner_->deviceUniqueId(device);
    }
    std::optional<std::string> deviceName(CameraObjectId device) const override {
        return inner_->deviceName(device);
    }
    std::vector<CameraObjectId> deviceStreams(CameraObjectId device) const override {
        std::vector<CameraObjectId> streams = inner_->deviceStreams(device);
        std::erase_if(streams, [&](CameraObjectId s) { return hidden.count(s) != 0; });
        return streams;
    }
    std::optional<uint32_t> streamDirection(CameraObjectId stream) const override {
        return inner_->streamDirection(stream);
    }
    BufferQueueResult copyBufferQueue(CameraObjectId stream) override {
        return inner_->copyBufferQueue(stream);
    }
    CameraStatus startStream(CameraObjectId device, CameraObjectId stream) override {
        calls.push_back("start " + std::to_string(device) + " " + std::to_string(stream));
        return inner_->startStream(device, stream);
    }
    CameraStatus stopStream(CameraObjectId device, CameraObjectId stream) override {
        calls.push_back("stop " + std::to_string(device) + " " + std::to_string(stream));
        return inner_->stopStream(device, stream);
    }
    ListenerId addDeviceListListener(Executor& executor, Task listener) override {
        return inner_->addDeviceListListener(executor, std::move(listener));
    }
    void removeDeviceListListener(ListenerId id) override { inner_->removeDeviceListListener(id); }

    std::vector<std::string> calls;
    // Streams left out of their device's stream list.
    std::set<CameraObjectId> hidden;

private:
    std::shared_ptr<MemoryCameraService> inner_;
};

std::string call(const char* what, CameraObjectId device, CameraObjectId stream) {
    return std::string(what) + " " + std::to_string(device) + " " + std::to_string(stream);
}

// A sink on a fresh in-memory service, with its clock in the test's hand.
struct SinkTest : ::testing::Test {
    SinkTest() {
        service = MemoryCameraService::create(serviceQueue);
        system = std::make_shared<RecordingSystem>(service);
        sink = VirtualCameraSink::create(system, mainThread, [this] { return now; });
    }

    // Log lines of the sink since the last call.
    std::vector<std::string> lines() {
        std::vector<std::string> texts;
        for (const LogRecord& record : log.records()) {
            EXPECT_EQ(record.subsystem, "example.orlenta.camera");
            EXPECT_EQ(record.category, "sink");
            texts.push_back((record.level == LogLevel::error ? "error: " : "info: ") +
                            record.message);
        }
        log.clear();
        return texts;
    }
    // The virtual camera with one sink stream: its device and stream.
    std::pair<CameraObjectId, CameraObjectId> addVirtualCamera(int32_t capacity = 1) {
        const CameraObjectId device = service->addPlainDevice(kUid, kName, {sinkStream(capacity)});
        return {device, service->deviceStreams(device)[0]};
    }
    static std::string connected(CameraObjectId stream, CameraObjectId device) {
        return "info: Connected to the sink stream " + std::to_string(stream) + " of device " +
               std::to_string(device) + ".";
    }

    LogCapture log;
    ManualExecutor serviceQueue;
    ManualExecutor mainThread;
    double now = 100;
    std::shared_ptr<MemoryCameraService> service;
    std::shared_ptr<RecordingSystem> system;
    std::shared_ptr<VirtualCameraSink> sink;
};

TEST_F(SinkTest, WithoutTheVirtualCameraNothingConnectsAndNothingIsLogged) {
    EXPECT_FALSE(sink->connect());
    service->addPlainDevice("BUILT-IN", "FaceTime HD Camera", {sourceStream(), sinkStream()});
    service->addPlainDevice(std::nullopt, std::nullopt, {sinkStream()});
    mainThread.runPending();
    lines();
    EXPECT_FALSE(sink->connect());
    EXPECT_FALSE(sink->isConnected());
    sink->send(outputFrame()); // ignored, no crash
    sink->send(nullptr);
    sink->disconnect();
    EXPECT_TRUE(lines().empty());

    // Every property read failing counts as no device.
    service->addPlainDevice(kUid, kName, {sinkStream()});
    mainThread.runPending();
    lines();
    service->setPropertyReadsFail(true);
    EXPECT_FALSE(sink->connect());
    EXPECT_TRUE(lines().empty());
    service->setPropertyReadsFail(false);
    EXPECT_TRUE(sink->connect());
}

TEST_F(SinkTest, TheDeviceIsFoundByItsExactIdentifierOrElseByItsName) {
    // Identifier in lower case, another name: not the virtual camera.
    service->addPlainDevice(kLowerUid, "Some Camera", {sinkStream()});
    EXPECT_FALSE(sink->connect());
    // A name that differs only in case is another name.
    service->addPlainDevice("X", "orlenta camera", {sinkStream()});
    EXPECT_FALSE(sink->connect());

    // The identifier alone is enough, whatever the name; so is the name alone.
    const CameraObjectId byUid = service->addPlainDevice(kUid, std::nullopt, {sinkStream()});
    EXPECT_TRUE(sink->connect());
    EXPECT_EQ(sink->deviceId(), byUid);
    sink->disconnect();
    service->removeDevice(byUid);

    const CameraObjectId byName = service->addPlainDevice("ANOTHER-ID", kName, {sinkStream()});
    EXPECT_TRUE(sink->connect());
    EXPECT_EQ(sink->deviceId(), byName);
    sink->disconnect();
    service->removeDevice(byName);

    // The lower-case identifier with the right name is matched, by the name.
    const CameraObjectId lower = service->addPlainDevice(kLowerUid, kName, {sinkStream()});
    EXPECT_TRUE(sink->connect());
    EXPECT_EQ(sink->deviceId(), lower);
}

TEST_F(SinkTest, OnlyTheFirstStreamWithDirectionZeroIsTried) {
    MemoryCameraService::PlainStream unreadable = sinkStream();
    unreadable.directionUnreadable = true;
    MemoryCameraService::PlainStream refusing = sinkStream();
    refusing.copyBufferQueueStatus = kCameraStatusFailed;
    const CameraObjectId device =
        service->addPlainDevice(kUid, kName, {sourceStream(), unreadable, refusing, sinkStream()});
    const std::vector<CameraObjectId> streams = service->deviceStreams(device);
    lines();

    // Source and unreadable streams are skipped; the first sink stream fails and the second is
    // never tried.
    EXPECT_FALSE(sink->connect());
    EXPECT_EQ(lines(),
              std::vector<std::string>{
                  "error: Cannot open a PipeWire stream to the virtual camera's sink: status 5"});
    EXPECT_EQ(service->startCount(streams[3]), 0);
    EXPECT_FALSE(sink->isConnected());

    // With two good ones, the first is the sink stream.
    const CameraObjectId other =
        service->addPlainDevice("OTHER", kName, {sinkStream(), sinkStream()});
    service->removeDevice(device);
    const std::vector<CameraObjectId> others = service->deviceStreams(other);
    EXPECT_TRUE(sink->connect());
    EXPECT_EQ(sink->sinkStreamId(), others[0]);
    EXPECT_EQ(service->startCount(others[0]), 1);
    EXPECT_EQ(service->startCount(others[1]), 0);
}

TEST_F(SinkTest, FailedConnectionsLogTheCallAndItsStatusAndStayDisconnected) {
    MemoryCameraService::PlainStream noQueue = sinkStream();
    noQueue.copyGivesNoQueue = true;
    MemoryCameraService::PlainStream notStarting = sinkStream();
    notStarting.startStatus = kCameraStatusNotReady;
    const CameraObjectId a = service->addPlainDevice(kUid, kName, {noQueue});
    lines();
    EXPECT_FALSE(sink->connect());
    EXPECT_EQ(lines(),
              std::vector<std::string>{
                  "error: Cannot open a PipeWire stream to the virtual camera's sink: status 0"});

    service->removeDevice(a);
    const CameraObjectId b = service->addPlainDevice(kUid, kName, {notStarting});
    lines();
    EXPECT_FALSE(sink->connect());
    EXPECT_EQ(
        lines(),
        std::vector<std::string>{
            "error: Cannot start the PipeWire stream to the virtual camera's sink: status 3"});
    EXPECT_FALSE(sink->isConnected());
    sink->send(outputFrame());
    EXPECT_TRUE(service->takeQueued(service->deviceStreams(b)[0]).empty())
        << "the queue of a stream that did not start is not used";

    service->removeDevice(b);
    service->addPlainDevice(kUid, kName, {sourceStream()});
    lines();
    EXPECT_FALSE(sink->connect()) << "no stream with direction 0";
    EXPECT_TRUE(lines().empty());
}

TEST_F(SinkTest, AnOpenLinkIsKeptWithoutAnotherStartOrLogLine) {
    const auto [device, stream] = addVirtualCamera();
    lines();
    ASSERT_TRUE(sink->connect());
    EXPECT_EQ(lines(), std::vector<std::string>{connected(stream, device)});
    EXPECT_EQ(sink->sinkStreamId(), stream);

    // Even with the queue full (the daemon not taking frames) the check says connected.
    sink->send(outputFrame());
    sink->send(outputFrame());
    EXPECT_TRUE(sink->connect());
    EXPECT_TRUE(sink->connect());
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(service->startCount(stream), 1);
    EXPECT_EQ(service->stopCount(stream), 0);
}

TEST_F(SinkTest, AReplacedOrVanishedDeviceIsLeftAndTheNewOneConnectedInTheSameCall) {
    const auto [first, firstStream] = addVirtualCamera();
    ASSERT_TRUE(sink->connect());

    // The daemon restarted: the same device under a new object id.
    service->removeDevice(first);
    const auto [second, secondStream] = addVirtualCamera();
    lines();
    EXPECT_TRUE(sink->connect());
    EXPECT_EQ(lines(), (std::vector<std::string>{"info: Virtual camera changed. Connecting again.",
                                                 connected(secondStream, second)}));
    EXPECT_EQ(system->calls, (std::vector<std::string>{call("start", first, firstStream),
                                                       call("stop", first, firstStream),
                                                       call("start", second, secondStream)}));
    EXPECT_EQ(sink->deviceId(), second);

    // The same device without the sink stream: closed, and opened again once it is back.
    system->hidden.insert(secondStream);
    lines();
    EXPECT_FALSE(sink->connect());
    EXPECT_EQ(lines(), std::vector<std::string>{"info: Virtual camera changed. Connecting again."});
    EXPECT_EQ(system->calls.back(), call("stop", second, secondStream));
    system->hidden.clear();
    EXPECT_TRUE(sink->connect());

    // Gone for good: the link closes and the check says so.
    service->removeDevice(second);
    lines();
    EXPECT_FALSE(sink->connect());
    EXPECT_EQ(lines(), std::vector<std::string>{"info: Virtual camera changed. Connecting again."});
    EXPECT_FALSE(sink->isConnected());
    EXPECT_EQ(system->calls.back(), call("stop", second, secondStream));
    EXPECT_FALSE(sink->connect());
    EXPECT_TRUE(lines().empty()) << "only a change is logged";
}

TEST_F(SinkTest, SentFramesAreTheOutputBuffersStampedWithTheHostClock) {
    const auto [device, stream] = addVirtualCamera(3);
    ASSERT_TRUE(sink->connect());
    const auto frame = outputFrame();
    const Time before = hostClockTime();
    sink->send(frame);
    const Time after = hostClockTime();
    const auto queued = service->takeQueued(stream);
    ASSERT_EQ(queued.size(), 1u);
    const SampleBuffer& sample = *queued[0];
    EXPECT_EQ(sample.imageBuffer(), frame) << "the buffer itself, not a copy";
    EXPECT_EQ(sample.formatDescription(), (VideoFormatDescription{kPixelFormatBGRA, 1280, 720}));
    EXPECT_FALSE(sample.timing().duration.isValid());
    EXPECT_FALSE(sample.timing().decodeTime.isValid());
    EXPECT_GE(sample.presentationTime().seconds(), before.seconds());
    EXPECT_LE(sample.presentationTime().seconds(), after.seconds());
    EXPECT_TRUE(queued[0]->sampleAttachments(false).empty());
}

TEST_F(SinkTest, AQueueFullForMoreThanTwoSecondsClosesTheLink) {
    const auto [device, stream] = addVirtualCamera();
    ASSERT_TRUE(sink->connect());
    sink->send(outputFrame()); // fills the queue of one
    lines();

    now = 10;
    sink->send(outputFrame());
    EXPECT_EQ(sink->fullSince(), 10.0) << "the first full finding";
    now = 12.0;
    sink->send(outputFrame());
    EXPECT_TRUE(sink->isConnected()) << "full for exactly 2.0 s is still connected";
    EXPECT_EQ(sink->fullSince(), 10.0);
    EXPECT_TRUE(lines().empty());

    now = 12.001;
    sink->send(outputFrame());
    EXPECT_FALSE(sink->isConnected());
    EXPECT_FALSE(sink->fullSince());
    EXPECT_EQ(lines(), std::vector<std::string>{
                           "info: The extension does not take frames. Connecting again."});
    EXPECT_EQ(service->stopCount(stream), 1);

    // Frames until the next check are ignored; the check opens a new queue.
    service->takeQueued(stream);
    sink->send(outputFrame());
    EXPECT_TRUE(service->takeQueued(stream).empty());
    EXPECT_TRUE(sink->connect());
    EXPECT_EQ(service->startCount(stream), 2);
    sink->send(outputFrame());
    EXPECT_EQ(service->takeQueued(stream).size(), 1u);
}

TEST_F(SinkTest, RoomInTheQueueEndsAFullSpellAndALaterOneStartsAfresh) {
    const auto [device, stream] = addVirtualCamera();
    ASSERT_TRUE(sink->connect());
    sink->send(outputFrame());
    now = 0;
    sink->send(outputFrame());
    ASSERT_EQ(sink->fullSince(), 0.0);

    now = 1.5;
    service->takeQueued(stream); // the daemon takes a frame again
    sink->send(outputFrame());
    EXPECT_FALSE(sink->fullSince());
    EXPECT_EQ(service->takeQueued(stream).size(), 0u + 1u);

    // A new spell: the queue fills again at 3.0 and is measured from there, not from 0.
    sink->send(outputFrame());
    now = 3.0;
    sink->send(outputFrame());
    EXPECT_EQ(sink->fullSince(), 3.0);
    now = 4.9;
    sink->send(outputFrame());
    EXPECT_TRUE(sink->isConnected());

    // Nothing times out while no frames are sent.
    now = 50;
    EXPECT_TRUE(sink->connect());
    EXPECT_TRUE(sink->isConnected());
    sink->send(outputFrame());
    EXPECT_FALSE(sink->isConnected()) << "the next frame finds the spell too long";
}

TEST_F(SinkTest, DroppedAndRefusedFramesGoBackToTheirPool) {
    auto pool = PixelBufferPool::create({});
    const auto [device, stream] = addVirtualCamera();
    ASSERT_TRUE(sink->connect());

    sink->send(pool->createPixelBuffer());
    EXPECT_EQ(pool->outstandingCount(), 1u) << "the queued frame is held by the queue";
    for (int i = 0; i < 5; ++i)
        sink->send(pool->createPixelBuffer()); // full: dropped
    EXPECT_EQ(pool->outstandingCount(), 1u);
    service->takeQueued(stream);
    EXPECT_EQ(pool->outstandingCount(), 0u);

    // The device vanishes under the open link: the queue has room but refuses the sample, which
    // must not keep the buffer.
    service->removeDevice(device);
    ASSERT_TRUE(sink->isConnected());
    auto frame = pool->createPixelBuffer();
    sink->send(frame);
    EXPECT_EQ(frame.use_count(), 1);
    frame.reset();
    EXPECT_EQ(pool->outstandingCount(), 0u);

    // A picture without a format is dropped without a trace; the spell of full findings is
    // cleared all the same.
    sink->send(nullptr);
    EXPECT_FALSE(sink->fullSince());
}

TEST_F(SinkTest, DeviceListChangesAreLoggedAndPassedOnOnTheMainThread) {
    int calls = 0;
    service->addPlainDevice("A", "A", {});
    EXPECT_EQ(mainThread.runPending(), 1u);
    EXPECT_EQ(lines(), std::vector<std::string>{"info: The list of devices changed."})
        << "logged even before anyone listens";

    sink->setOnDevicesChanged([&] {
        EXPECT_TRUE(mainThread.isCurrent());
        ++calls;
    });
    service->addPlainDevice(kUid, kName, {sinkStream()});
    EXPECT_EQ(calls, 0) << "never synchronously";
    mainThread.runPending();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lines(), std::vector<std::string>{"info: The list of devices changed."});

    sink->setOnDevicesChanged({});
    service->addPlainDevice("B", "B", {});
    mainThread.runPending();
    EXPECT_EQ(calls, 1);

    // A change posted before the sink goes is logged but calls nobody; after it goes the
    // listener is removed.
    sink->setOnDevicesChanged([&] { ++calls; });
    service->addPlainDevice("C", "C", {});
    sink.reset();
    lines();
    mainThread.runPending();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lines(), std::vector<std::string>{"info: The list of devices changed."});
    service->addPlainDevice("D", "D", {});
    EXPECT_EQ(mainThread.runPending(), 0u);
}

TEST_F(SinkTest, AnEndingSinkStopsItsStream) {
    const auto [device, stream] = addVirtualCamera();
    ASSERT_TRUE(sink->connect());
    sink.reset();
    EXPECT_EQ(service->stopCount(stream), 1);
    EXPECT_TRUE(VirtualCameraSink::create(nullptr, mainThread) == nullptr);
}

// The sink against the daemon's own roles in the same in-memory service: what the app writes is
// what readers of the virtual camera get, and a restart of the daemon is followed.
TEST(SinkWithDaemon, FramesReachTheReadersAndARestartedDaemonIsFollowed) {
    LogCapture log;
    testing::DaemonFixture daemon;
    ASSERT_TRUE(daemon.start());
    ManualExecutor mainThread;
    auto sink = VirtualCameraSink::create(daemon.service, mainThread);
    ASSERT_TRUE(sink->connect());
    daemon.pump();
    const auto reader = daemon.service->connectClient("reader");
    daemon.service->startClientStream(daemon.sourceStream(), reader);
    daemon.pump();
    daemon.service->takeSentSamples(*daemon.sourceStream());

    std::vector<std::shared_ptr<PixelBuffer>> frames;
    for (int i = 0; i < 3; ++i) {
        frames.push_back(outputFrame());
        sink->send(frames.back());
        daemon.advance(1.0 / 30);
    }
    const auto sent = daemon.service->takeSentSamples(*daemon.sourceStream());
    ASSERT_EQ(sent.size(), frames.size());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].sampleBuffer->imageBuffer(), frames[i]);

    const CameraObjectId before = sink->deviceId();
    daemon.service->republish();
    daemon.pump();
    log.clear();
    EXPECT_TRUE(sink->connect());
    EXPECT_NE(sink->deviceId(), before);
    const auto messages = log.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Virtual camera changed. Connecting again.");
    EXPECT_EQ(messages[1].rfind("Connected to the sink stream ", 0), 0u);
}

} // namespace
} // namespace orlenta

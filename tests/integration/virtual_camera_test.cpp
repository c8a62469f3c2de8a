// The virtual camera for real: the daemon binary in a private PipeWire session, read by a PipeWire
// reader (and GStreamer), written by the app side's PipeWire implementation.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <signal.h>
#include <unistd.h>

#include "camera_service/pipewire_camera_system.h"
#include "camera_service/virtual_camera.h"
#include "extension/placeholder.h"
#include "media/dispatch.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "tests/testing/pipewire_session.h"
#include "tests/testing/test_reader.h"

namespace orlenta {
namespace {

using testing::ChildProcess;
using testing::TestReader;
using testing::waitUntil;

[[maybe_unused]] ::testing::Environment* const session =
    ::testing::AddGlobalTestEnvironment(new testing::PipeWireSessionEnvironment);

class FontCaches final : public ::testing::Environment {
public:
    void TearDown() override { releasePlaceholderFontCaches(); }
};
[[maybe_unused]] ::testing::Environment* const fontCaches =
    ::testing::AddGlobalTestEnvironment(new FontCaches);

const std::string kSourceNode = virtual_camera::sourceNodeName();
const std::string kSinkNode = virtual_camera::sinkNodeName();

std::unique_ptr<ChildProcess> startDaemon() {
    static int count = 0;
    const std::string log = testing::PipeWireSessionEnvironment::directory() + "/daemon-" +
                            std::to_string(++count) + ".log";
    return std::make_unique<ChildProcess>(std::vector<std::string>{ORLENTA_EXTENSION_BINARY}, log);
}

uint64_t placeholderHash() {
    static const uint64_t hash = [] {
        auto picture = makePlaceholder();
        PixelBufferLock lock(*picture);
        return testing::hashPicture(lock.data(), picture->width(), picture->height(),
                                    picture->bytesPerRow());
    }();
    return hash;
}

// The app's side, as the app uses it: finds the device, opens its sink stream, writes frames.
struct AppSide {
    AppSide() {
        std::string error;
        system = PipeWireCameraSystem::create({"integration test", {}}, &error);
        EXPECT_TRUE(system) << error;
    }

    std::optional<CameraObjectId> findDevice() const {
        for (const CameraObjectId device : system->devices())
            if (system->deviceUniqueId(device) == std::string(virtual_camera::kDeviceId))
                return device;
        return std::nullopt;
    }
    // The nodes appear one by one: wait for both streams.
    bool waitForDevice(double timeout) {
        return waitUntil(
            [&] {
                const auto device = findDevice();
                return device && system->deviceStreams(*device).size() == 2;
            },
            timeout);
    }
    // Opens the sink stream and waits until the link is up (the queue has room).
    bool connect(double timeout = 5) {
        const auto device = findDevice();
        if (!device)
            return false;
        for (const CameraObjectId stream : system->deviceStreams(*device)) {
            if (system->streamDirection(stream) != kSystemStreamDirectionSink)
                continue;
            BufferQueueResult result = system->copyBufferQueue(stream);
            if (result.status != kCameraStatusOk || !result.queue)
                return false;
            queue = result.queue;
            if (system->startStream(*device, stream) != kCameraStatusOk)
                return false;
            deviceId = *device;
            streamId = stream;
            return waitUntil([&] { return queue->count() < queue->capacity(); }, timeout);
        }
        return false;
    }

    // A frame that no other frame of the test looks like: rows of graded levels, each row
    // starting with the seed.
    static std::shared_ptr<PixelBuffer> pattern(int seed) {
        auto buffer = PixelBuffer::create(1280, 720);
        PixelBufferLock lock(*buffer);
        for (int y = 0; y < 720; ++y) {
            uint8_t* row = lock.data() + static_cast<size_t>(y) * buffer->bytesPerRow();
            std::memset(row, (y * 13 + seed * 31) & 0xff, 1280 * 4);
            std::memcpy(row, &seed, sizeof seed);
        }
        return buffer;
    }

    // Writes one frame when the queue has room (waiting up to 50 ms, as a frame period allows);
    // the frame's hash and time if it was taken.
    std::optional<std::pair<uint64_t, int64_t>> write(int seed, double age = 0) {
        if (!waitUntil([&] { return queue->count() < queue->capacity(); }, 0.05))
            return std::nullopt;
        auto buffer = pattern(seed);
        uint64_t hash = 0;
        {
            PixelBufferLock lock(*buffer);
            hash = testing::hashPicture(lock.data(), 1280, 720, buffer->bytesPerRow());
        }
        SampleTiming timing;
        timing.presentationTime = Time::fromSeconds(currentMediaTime() - age);
        auto sample = SampleBuffer::createReady(
            buffer, *VideoFormatDescription::forImageBuffer(*buffer), timing);
        if (!queue->enqueue(sample))
            return std::nullopt;
        return std::pair{hash, timing.presentationTime.value};
    }

    std::shared_ptr<PipeWireCameraSystem> system;
    std::shared_ptr<SinkBufferQueue> queue;
    CameraObjectId deviceId = 0;
    CameraObjectId streamId = 0;
};

size_t countFramesBetween(const std::vector<TestReader::Frame>& frames, double from, double to) {
    return static_cast<size_t>(std::count_if(frames.begin(), frames.end(), [&](const auto& f) {
        return f.arrival >= from && f.arrival < to;
    }));
}

// Writes `count` frames a frame period apart, seeded from `firstSeed`; the hashes of those taken.
std::set<uint64_t> writeFrames(AppSide& app, int firstSeed, int count, double age = 0) {
    std::set<uint64_t> written;
    for (int i = 0; i < count; ++i) {
        if (auto frame = app.write(firstSeed + i, age))
            written.insert(frame->first);
        ::usleep(33'000);
    }
    return written;
}

size_t framesSeen(const TestReader& reader, const std::set<uint64_t>& hashes) {
    size_t seen = 0;
    for (const auto& frame : reader.frames())
        seen += hashes.count(frame.hash);
    return seen;
}

TEST(VirtualCamera, PublishesTheDeviceWithItsNodeProperties) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5)) << daemon->output();
    const CameraObjectId device = *app.findDevice();
    EXPECT_EQ(app.system->deviceName(device), "Orlenta Camera");
    const auto streams = app.system->deviceStreams(device);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(app.system->streamDirection(streams[0]), kSystemStreamDirectionSource);
    EXPECT_EQ(app.system->streamDirection(streams[1]), kSystemStreamDirectionSink);
    EXPECT_EQ(app.system->copyBufferQueue(streams[0]).status, kCameraStatusUnsupported);

    const std::string source = testing::runCommand("pw-dump " + kSourceNode);
    EXPECT_NE(source.find("\"media.class\": \"Video/Source\""), std::string::npos) << source;
    EXPECT_NE(source.find("\"media.role\": \"Camera\""), std::string::npos);
    EXPECT_NE(source.find("\"node.description\": \"Orlenta Camera\""), std::string::npos);
    EXPECT_NE(source.find("\"orlenta.device.id\": \"6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B\""),
              std::string::npos);
    const std::string sink = testing::runCommand("pw-dump " + kSinkNode);
    EXPECT_NE(sink.find("\"media.class\": \"Video/Sink\""), std::string::npos) << sink;
    EXPECT_EQ(daemon->waitForExit(0), -1) << "still running";

    // SIGTERM ends it cleanly (under the sanitizers: with nothing leaked), and the nodes go.
    EXPECT_EQ(daemon->stop(), 0) << daemon->output();
    EXPECT_TRUE(waitUntil([&] { return app.system->devices().empty(); }, 5));
}

TEST(VirtualCamera, AReaderGetsThePlaceholderThirtyTimesASecond) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5)) << daemon->output();
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5)) << daemon->output();
    const double start = testing::monotonicSeconds();
    ::usleep(1'100'000);
    const auto frames = reader.frames();
    const size_t inOneSecond = countFramesBetween(frames, start, start + 1.0);
    EXPECT_GE(inOneSecond, 25u);
    EXPECT_LE(inOneSecond, 35u);
    for (const auto& frame : frames)
        EXPECT_EQ(frame.hash, placeholderHash()) << "every frame is the placeholder";
    const auto picture = reader.latestFrame();
    ASSERT_EQ(picture.size(), 1280u * 720 * 4);
    EXPECT_NEAR(picture[0], 20, 1);
    EXPECT_EQ(picture[3], 255);
}

TEST(VirtualCamera, WrittenFramesReachTheReaderUnchangedAndThePlaceholderComesBack) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5)) << daemon->output();
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));
    ASSERT_TRUE(app.connect()) << daemon->output();

    std::map<uint64_t, int64_t> written;
    double lastWrite = 0;
    for (int i = 0; i < 30; ++i) {
        if (auto frame = app.write(i)) {
            written.emplace(frame->first, frame->second);
            lastWrite = testing::monotonicSeconds();
        }
        ::usleep(33'000);
    }
    ASSERT_GE(written.size(), 25u) << "the queue takes frames at the camera's rate";
    ::usleep(1'000'000);

    size_t relayed = 0;
    double firstPlaceholderAfter = 0;
    for (const auto& frame : reader.frames()) {
        if (frame.hash == placeholderHash()) {
            if (frame.arrival > lastWrite && firstPlaceholderAfter == 0)
                firstPlaceholderAfter = frame.arrival;
            continue;
        }
        const auto it = written.find(frame.hash);
        ASSERT_NE(it, written.end()) << "every other frame is one the app wrote, bit for bit";
        EXPECT_EQ(frame.pts, it->second) << "with the app's presentation time";
        ++relayed;
    }
    // Frames may be dropped under load (a late frame is never shown), but not most of them.
    EXPECT_GE(relayed, written.size() / 2);
    ASSERT_GT(firstPlaceholderAfter, 0) << "the placeholder comes back";
    EXPECT_GT(firstPlaceholderAfter - lastWrite, 0.45);
    EXPECT_LT(firstPlaceholderAfter - lastWrite, 0.8);
    EXPECT_EQ(reader.frames().back().hash, placeholderHash());
}

TEST(VirtualCamera, ReadersComeAndGoAndEachNewOneGetsFramesAtOnce) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5));
    auto first = std::make_unique<TestReader>(kSourceNode);
    auto second = std::make_unique<TestReader>(kSourceNode);
    ASSERT_TRUE(first->waitForFrames(3, 5));
    ASSERT_TRUE(second->waitForFrames(3, 5));

    first.reset();
    const size_t before = second->frameCount();
    ASSERT_TRUE(second->waitForFrames(before + 6, 2)) << "one reader leaving stops nothing";

    second.reset();
    ::usleep(300'000);
    TestReader third(kSourceNode);
    const double start = testing::monotonicSeconds();
    ASSERT_TRUE(third.waitForFrames(1, 5)) << "the timer starts again with a new first reader";
    EXPECT_LT(testing::monotonicSeconds() - start, 1.0);
}

TEST(VirtualCamera, StaleSinkFramesAreDroppedInsteadOfShown) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5));
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));
    ASSERT_TRUE(app.connect());

    // Frames stamped a second ago: a writer that stalled and resumed.
    const std::set<uint64_t> stale = writeFrames(app, 100, 10, 1.0);
    ASSERT_GE(stale.size(), 5u);
    const std::set<uint64_t> fresh = writeFrames(app, 200, 10);
    ::usleep(200'000);
    EXPECT_EQ(framesSeen(reader, stale), 0u) << "a stale frame reached the reader";
    EXPECT_GE(framesSeen(reader, fresh), fresh.size() / 2);
}

TEST(VirtualCamera, AWriterThatReconnectsIsRelayedAgain) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5));
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));

    // As the app's sink does when it gives up on a stalled link: stop, then connect afresh.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(app.connect()) << "round " << round;
        const std::set<uint64_t> written = writeFrames(app, 500 + round * 10, 10);
        ::usleep(150'000);
        EXPECT_GE(written.size(), 5u) << "round " << round;
        EXPECT_GE(framesSeen(reader, written), 1u) << "round " << round;
        EXPECT_EQ(app.system->stopStream(app.deviceId, app.streamId), kCameraStatusOk);
        EXPECT_FALSE(app.queue->enqueue(nullptr));
        EXPECT_EQ(app.queue->count(), app.queue->capacity()) << "a stopped queue reads full";
    }
}

TEST(VirtualCamera, ASecondDaemonExitsWithAClearMessage) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5));
    auto second = startDaemon();
    EXPECT_EQ(second->waitForExit(5), 3);
    EXPECT_NE(second->output().find("already running"), std::string::npos) << second->output();
    EXPECT_EQ(daemon->waitForExit(0), -1) << "the first one keeps running";
    EXPECT_EQ(app.system->devices().size(), 1u);
}

TEST(VirtualCamera, AKilledDaemonLeavesNothingBrokenForTheNextOne) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    ManualExecutor mainThread;
    AppSide app;
    int changes = 0;
    app.system->addDeviceListListener(mainThread, [&] { ++changes; });

    auto daemon = startDaemon();
    ASSERT_TRUE(app.waitForDevice(5));
    const CameraObjectId before = *app.findDevice();
    ASSERT_TRUE(app.connect());
    daemon->signal(SIGKILL);
    EXPECT_EQ(daemon->waitForExit(5), 128 + SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return app.system->devices().empty(); }, 5))
        << "its nodes go with it";
    EXPECT_TRUE(mainThread.runUntil([&] { return changes >= 3; }, 2))
        << "the listener heard the device come and go";
    EXPECT_FALSE(app.write(1)) << "the old queue takes nothing";

    auto next = startDaemon();
    ASSERT_TRUE(app.waitForDevice(5)) << next->output();
    EXPECT_NE(*app.findDevice(), before) << "a new device object";
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5));
    ASSERT_TRUE(app.connect()) << next->output();
    const std::set<uint64_t> written = writeFrames(app, 300, 10);
    ::usleep(200'000);
    // Any relayed frame shows the new daemon relays; how many depends on the machine's load (a
    // late frame is dropped, never shown).
    EXPECT_GE(written.size(), 5u);
    EXPECT_GE(framesSeen(reader, written), 1u) << "of " << written.size() << " written";
}

TEST(VirtualCamera, WhenPipeWireGoesTheDaemonExitsWithAFailureAndTheAppHears) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ManualExecutor mainThread;
    int changes = 0;
    app.system->addDeviceListListener(mainThread, [&] { ++changes; });
    ASSERT_TRUE(app.waitForDevice(5));
    mainThread.runUntil([&] { return changes >= 2; }, 1);
    const int before = changes;

    const pid_t pipewire = testing::PipeWireSessionEnvironment::pipewirePid();
    ASSERT_GT(pipewire, 0);
    ::kill(pipewire, SIGTERM);
    EXPECT_EQ(daemon->waitForExit(5), 1) << "a failure, so that its service starts it again";
    EXPECT_NE(daemon->output().find("lost the connection to PipeWire"), std::string::npos)
        << daemon->output();
    EXPECT_TRUE(waitUntil([&] { return app.system->devices().empty(); }, 5))
        << "the app's device list empties";
    EXPECT_TRUE(mainThread.runUntil([&] { return changes > before; }, 2))
        << "and its listeners hear of it";
    ASSERT_TRUE(testing::PipeWireSessionEnvironment::restart());
}

TEST(VirtualCamera, ADaemonStartedDetachedWaitsForPipeWireAndPublishesAgain) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    if (::access("/usr/bin/setsid", X_OK) != 0)
        GTEST_SKIP() << "/usr/bin/setsid is not installed";
    // As the app's fallback starts it where no user systemd runs: in a session of its own.
    ChildProcess daemon({"/usr/bin/setsid", ORLENTA_EXTENSION_BINARY},
                        testing::PipeWireSessionEnvironment::directory() + "/detached.log");
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5)) << daemon.output();
    const CameraObjectId before = *app.findDevice();
    ASSERT_TRUE(testing::PipeWireSessionEnvironment::restart());
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto device = app.findDevice();
            return device && *device != before && app.system->deviceStreams(*device).size() == 2;
        },
        10))
        << "the same daemon published the camera again\n"
        << daemon.output();
    EXPECT_EQ(daemon.waitForExit(0), -1);
    EXPECT_EQ(daemon.stop(), 0) << daemon.output();
}

TEST(VirtualCamera, GStreamerReadsItAsAnyCamera) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice(5));
    int status = -1;
    const std::string output = testing::runCommand(
        "timeout 20 gst-launch-1.0 -q pipewiresrc target-object=" + kSourceNode +
            " num-buffers=15 ! video/x-raw,format=BGRx,width=1280,height=720 ! fakesink 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;
}

} // namespace
} // namespace orlenta

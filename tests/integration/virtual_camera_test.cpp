// The virtual camera for real: the daemon binary in a private PipeWire session, read by a PipeWire
// reader (and GStreamer), written by the app side's PipeWire implementation.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <signal.h>
#include <unistd.h>
#include <vector>

#include "extension/placeholder.h"
#include "tests/testing/test_reader.h"
#include "tests/testing/virtual_camera_app.h"

namespace orlenta {
namespace {

using testing::startDaemon;
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
struct AppSide : testing::AppCameraSystem {
    AppSide() : AppCameraSystem("integration test") {}

    // Opens the sink stream (the device's second) afresh and waits until the link is up (the
    // queue has room). The daemon makes its sink node again when a link that took the node's
    // buffers goes while it holds them; a writer aimed at the node that went connects to the new
    // one, as the app's sink does when the device's streams change.
    bool connect() {
        if (queue)
            system->stopStream(deviceId, streamId);
        queue.reset();
        return waitUntil(
            [&] {
                if (!queue || !sinkIsCurrent()) {
                    const auto device = this->device();
                    const auto streams =
                        device ? system->deviceStreams(*device) : std::vector<CameraObjectId>{};
                    if (streams.size() < 2)
                        return false;
                    deviceId = *device;
                    streamId = streams[1];
                    queue = system->copyBufferQueue(streamId).queue;
                    if (!queue || system->startStream(deviceId, streamId) != kCameraStatusOk) {
                        queue.reset();
                        return false;
                    }
                }
                return queue->count() < queue->capacity();
            },
            5);
    }

    bool sinkIsCurrent() const {
        const auto streams = system->deviceStreams(deviceId);
        return std::find(streams.begin(), streams.end(), streamId) != streams.end();
    }

    // Writes `count` frames a frame period apart, each one that no other frame of the test looks
    // like (rows of graded levels, each starting with its seed), when the queue has room within
    // the period; the hashes and times of those taken.
    std::map<uint64_t, int64_t> writeFrames(int firstSeed, int count, double age = 0) {
        std::map<uint64_t, int64_t> written;
        for (int seed = firstSeed; seed < firstSeed + count; ++seed, ::usleep(33'000)) {
            if (!waitUntil([&] { return queue->count() < queue->capacity(); }, 0.05))
                continue;
            auto buffer = PixelBuffer::create(1280, 720);
            uint64_t hash = 0;
            {
                PixelBufferLock lock(*buffer);
                for (int y = 0; y < 720; ++y) {
                    uint8_t* row = lock.data() + static_cast<size_t>(y) * buffer->bytesPerRow();
                    std::memset(row, (y * 13 + seed * 31) & 0xff, 1280 * 4);
                    std::memcpy(row, &seed, sizeof seed);
                }
                hash = testing::hashPicture(lock.data(), 1280, 720, buffer->bytesPerRow());
            }
            SampleTiming timing;
            timing.presentationTime = Time::fromSeconds(currentMediaTime() - age);
            if (queue->enqueue(SampleBuffer::createReady(
                    buffer, *VideoFormatDescription::forImageBuffer(*buffer), timing))) {
                written.emplace(hash, timing.presentationTime.value);
                lastWrite = testing::monotonicSeconds();
            }
        }
        return written;
    }

    std::shared_ptr<SinkBufferQueue> queue;
    double lastWrite = 0; // monotonic seconds
    CameraObjectId deviceId = 0;
    CameraObjectId streamId = 0;
};

size_t framesSeen(const TestReader& reader, const std::map<uint64_t, int64_t>& hashes) {
    size_t seen = 0;
    for (const auto& frame : reader.frames())
        seen += hashes.count(frame.hash);
    return seen;
}

TEST(VirtualCamera, PublishesOneCameraThatRelaysTheAppsFramesToAnyReaderAndEndsCleanly) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    auto daemon = startDaemon();
    AppSide app;
    ASSERT_TRUE(app.waitForDevice()) << daemon->output();
    const CameraObjectId device = *app.device();
    EXPECT_EQ(app.system->deviceName(device), "Orlenta Camera");
    const auto streams = app.system->deviceStreams(device);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(app.system->streamDirection(streams[0]), kSystemStreamDirectionSource);
    EXPECT_EQ(app.system->streamDirection(streams[1]), kSystemStreamDirectionSink);
    EXPECT_EQ(app.system->copyBufferQueue(streams[0]).status, kCameraStatusUnsupported);

    const std::string source = testing::runCommand("pw-dump " + kSourceNode);
    for (const char* property : {"\"media.class\": \"Video/Source\"", "\"media.role\": \"Camera\"",
                                 "\"node.description\": \"Orlenta Camera\"",
                                 "\"orlenta.device.id\": \"6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B\""})
        EXPECT_NE(source.find(property), std::string::npos) << property << "\n" << source;
    const std::string sink = testing::runCommand("pw-dump " + kSinkNode);
    EXPECT_NE(sink.find("\"media.class\": \"Video/Sink\""), std::string::npos) << sink;

    // A second daemon says why it leaves; the first one keeps running.
    auto another = startDaemon();
    EXPECT_EQ(another->waitForExit(5), 3);
    EXPECT_NE(another->output().find("already running"), std::string::npos) << another->output();
    EXPECT_EQ(daemon->waitForExit(0), -1);
    EXPECT_EQ(app.system->devices().size(), 1u);

    // GStreamer reads it as it reads any camera.
    int status = -1;
    const std::string output = testing::runCommand(
        "timeout 20 gst-launch-1.0 -q pipewiresrc target-object=" + kSourceNode +
            " num-buffers=15 ! video/x-raw,format=BGRx,width=1280,height=720 ! fakesink 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;

    // Readers come and go. The placeholder's rate and picture are the unit tests' part
    // (PlaceholderTimer, Placeholder).
    auto first = std::make_unique<TestReader>(kSourceNode);
    ASSERT_TRUE(first->waitForFrames(10, 5)) << daemon->output();
    for (const auto& frame : first->frames())
        EXPECT_EQ(frame.hash, placeholderHash()) << "every frame is the placeholder";
    auto second = std::make_unique<TestReader>(kSourceNode);
    ASSERT_TRUE(second->waitForFrames(3, 5));
    first.reset();
    const size_t before = second->frames().size();
    ASSERT_TRUE(second->waitForFrames(before + 6, 2)) << "one reader leaving stops nothing";
    second.reset();
    ::usleep(300'000);
    TestReader reader(kSourceNode);
    ASSERT_TRUE(reader.waitForFrames(1, 5)) << "the timer starts again with a new first reader";

    ASSERT_TRUE(app.connect()) << daemon->output();

    const auto written = app.writeFrames(0, 30);
    const double lastWrite = app.lastWrite;
    ASSERT_GE(written.size(), 25u) << "the queue takes frames at the camera's rate";
    ::usleep(1'000'000);
    size_t relayed = 0;
    double lastRelayed = 0;
    for (const auto& frame : reader.frames()) {
        if (frame.hash == placeholderHash())
            continue;
        const auto it = written.find(frame.hash);
        ASSERT_NE(it, written.end()) << "every other frame is one the app wrote, bit for bit";
        EXPECT_EQ(frame.pts, it->second) << "with the app's presentation time";
        ++relayed;
        lastRelayed = frame.arrival;
    }
    double placeholderBack = 0;
    for (const auto& frame : reader.frames())
        if (frame.hash == placeholderHash() && frame.arrival > lastRelayed) {
            placeholderBack = frame.arrival;
            break;
        }
    // Frames may be dropped under load (a late frame is never shown), but not most of them.
    EXPECT_GE(relayed, written.size() / 2);
    ASSERT_GT(placeholderBack, 0) << "the placeholder comes back";
    // Half a second after the last frame the daemon relayed: a frame it dropped as late does not
    // count as the app being there.
    EXPECT_GT(placeholderBack - lastRelayed, 0.45);
    EXPECT_LT(lastWrite - lastRelayed, 0.5) << "the app's last frames were lost";
    EXPECT_EQ(reader.frames().back().hash, placeholderHash());

    // Frames stamped a second ago (a writer that stalled and resumed) are dropped, not shown.
    const auto stale = app.writeFrames(100, 10, 1.0);
    ASSERT_GE(stale.size(), 5u);
    const auto fresh = app.writeFrames(200, 10);
    ::usleep(200'000);
    EXPECT_EQ(framesSeen(reader, stale), 0u) << "a stale frame reached the reader";
    EXPECT_GE(framesSeen(reader, fresh), fresh.size() / 2);

    // As the app's sink does when it gives up on a stalled link: stop, then connect afresh.
    for (int round = 0; round < 2; ++round) {
        app.system->stopStream(app.deviceId, app.streamId);
        EXPECT_FALSE(app.queue->enqueue(nullptr));
        EXPECT_EQ(app.queue->count(), app.queue->capacity()) << "a stopped queue reads full";
        ASSERT_TRUE(app.connect()) << "round " << round;
        // Frames flow again: written a period apart until the reader has one (a busy machine
        // may drop the first few as late), for at most three seconds.
        std::map<uint64_t, int64_t> again;
        const double start = testing::monotonicSeconds();
        int seed = 500 + round * 100;
        while (framesSeen(reader, again) == 0 && testing::monotonicSeconds() - start < 3) {
            if (!app.sinkIsCurrent()) {
                ASSERT_TRUE(app.connect()) << "round " << round << ": the sink node made again";
            }
            again.merge(app.writeFrames(seed++, 1));
        }
        EXPECT_GE(framesSeen(reader, again), 1u)
            << "round " << round << ", " << again.size() << " frames taken\n"
            << daemon->output();
    }

    // SIGTERM ends it cleanly (under the sanitizers: with nothing leaked), and the nodes go.
    app.system->stopStream(app.deviceId, app.streamId);
    EXPECT_EQ(daemon->stop(), 0) << daemon->output();
    EXPECT_TRUE(waitUntil([&] { return app.system->devices().empty(); }, 5));
}

TEST(VirtualCamera, ADaemonStartedDetachedWaitsForPipeWireAndPublishesAgain) {
    ORLENTA_REQUIRE_PIPEWIRE_SESSION();
    if (::access("/usr/bin/setsid", X_OK) != 0)
        GTEST_SKIP() << "/usr/bin/setsid is not installed";
    // Started detached, as the app's fallback does where no user systemd runs: it waits for
    // PipeWire and publishes the camera again.
    auto daemon = startDaemon({"/usr/bin/setsid"});
    AppSide app;
    ASSERT_TRUE(app.waitForDevice()) << daemon->output();
    const CameraObjectId before = *app.device();
    ASSERT_TRUE(testing::PipeWireSessionEnvironment::restart());
    EXPECT_TRUE(waitUntil([&] { return app.device() && *app.device() != before; }, 10))
        << daemon->output();
    EXPECT_EQ(daemon->waitForExit(0), -1);
    EXPECT_EQ(daemon->stop(), 0) << daemon->output();
}

} // namespace
} // namespace orlenta

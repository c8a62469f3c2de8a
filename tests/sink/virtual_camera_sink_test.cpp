// VirtualCameraSink over the in-memory camera service: which device and stream it links to (a
// sweep of device lists), what it logs, the device-list listener and the buffer references it
// keeps. The full-queue timeout is checked against the real daemon in the integration tests.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/sink/virtual_camera_sink.h"
#include "camera_service/virtual_camera.h"
#include "media/log.h"
#include "tests/testing/camera_service_memory.h"

namespace orlenta {
namespace {

using Stream = MemoryCameraSystem::PlainStream;
const Stream kSink{};
const Stream kSource{.direction = kSystemStreamDirectionSource};
const Stream kUnreadable{.directionUnreadable = true};
const Stream kRefusing{.copyBufferQueueStatus = kCameraStatusFailed};
const Stream kNotStarting{.startStatus = kCameraStatusNotReady};

const std::string kUid(virtual_camera::kDeviceId);
const std::string kName(virtual_camera::kDeviceName);

std::shared_ptr<PixelBuffer> outputFrame() {
    return PixelBuffer::create(1280, 720);
}

// A sink on a fresh in-memory service, with its clock in the test's hand.
struct SinkRig {
    // The sink's log lines since the last call, device-list lines left out.
    std::vector<std::string> lines() {
        mainThread.runPending();
        std::vector<std::string> texts;
        for (const LogRecord& record : log.records())
            if (record.message != "The list of devices changed.")
                texts.push_back((record.level == LogLevel::error ? "error: " : "info: ") +
                                record.message);
        log.clear();
        return texts;
    }
    std::pair<CameraObjectId, CameraObjectId> addCamera(int32_t capacity = 1) {
        const CameraObjectId device =
            service->addPlainDevice(kUid, kName, {Stream{.queueCapacity = capacity}});
        return {device, service->deviceStreams(device)[0]};
    }
    static std::string connected(CameraObjectId device, CameraObjectId stream) {
        return "info: Connected to the sink stream " + std::to_string(stream) + " of device " +
               std::to_string(device) + ".";
    }

    LogCapture log;
    ManualExecutor mainThread;
    double now = 100;
    std::shared_ptr<MemoryCameraSystem> service = std::make_shared<MemoryCameraSystem>();
    std::shared_ptr<VirtualCameraSink> sink =
        VirtualCameraSink::create(service, mainThread, [this] { return now; });
};
struct SinkTest : ::testing::Test, SinkRig {};

TEST(SinkSweep, LinksOnlyToTheVirtualCamerasFirstSinkStream) {
    struct Device {
        std::optional<std::string> uid, name;
        std::vector<Stream> streams;
    };
    struct Case {
        const char* what;
        std::vector<Device> devices;
        int device = -1; // the device and stream linked to; -1: none
        int stream = -1;
        std::vector<std::string> log = {};
        bool readsFail = false;
    };
    const std::string lowerUid = "6f4e2c1a-8b3d-4e5f-9a7b-1c2d3e4f5a6b";
    const std::string cannotOpen =
        "error: Cannot open a PipeWire stream to the virtual camera's sink: status 5";
    const std::string cannotStart =
        "error: Cannot start the PipeWire stream to the virtual camera's sink: status 3";
    const Case cases[] = {
        {"no devices", {}},
        {"other cameras", {{"BUILT-IN", "Built-in Camera", {kSource, kSink}}, {{}, {}, {kSink}}}},
        {"identifier in lower case", {{lowerUid, "Some Camera", {kSink}}}},
        {"name in another case", {{"X", "orlenta camera", {kSink}}}},
        {"identifier alone", {{kUid, {}, {kSink}}}, 0, 0},
        {"name alone", {{lowerUid, kName, {kSink}}}, 0, 0},
        {"property reads fail", {{kUid, kName, {kSink}}}, -1, -1, {}, true},
        {"sources skipped", {{kUid, kName, {kSource, kUnreadable, kSink, kSink}}}, 0, 2},
        {"first sink refuses a queue", {{kUid, kName, {kRefusing, kSink}}}, -1, -1, {cannotOpen}},
        {"start refused", {{kUid, kName, {kNotStarting}}}, -1, -1, {cannotStart}},
        {"no sink stream", {{kUid, kName, {kSource}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SinkRig t;
        std::vector<CameraObjectId> devices;
        for (const Device& d : c.devices)
            devices.push_back(t.service->addPlainDevice(d.uid, d.name, d.streams));
        t.service->setPropertyReadsFail(c.readsFail);
        t.lines();

        const bool linked = t.sink->connect();
        EXPECT_EQ(linked, c.device >= 0);
        EXPECT_EQ(t.sink->isConnected(), linked);
        t.sink->send(outputFrame());
        t.service->setPropertyReadsFail(false);
        std::vector<std::string> expected = c.log;
        for (size_t d = 0; d < devices.size(); ++d) {
            const auto streams = t.service->deviceStreams(devices[d]);
            for (size_t s = 0; s < streams.size(); ++s) {
                const bool chosen =
                    static_cast<int>(d) == c.device && static_cast<int>(s) == c.stream;
                // Only the chosen stream is started (or tried, when it refuses).
                const bool refuses = c.devices[d].streams[s].startStatus != kCameraStatusOk;
                EXPECT_EQ(t.service->startCount(streams[s]), chosen || refuses ? 1 : 0)
                    << d << "/" << s;
                EXPECT_EQ(t.service->takeQueued(streams[s]).size(), chosen ? 1u : 0u);
                if (chosen) {
                    EXPECT_EQ(t.sink->deviceId(), devices[d]);
                    EXPECT_EQ(t.sink->sinkStreamId(), streams[s]);
                    expected.push_back(SinkRig::connected(devices[d], streams[s]));
                }
            }
        }
        EXPECT_EQ(t.lines(), expected);
    }
}

TEST_F(SinkTest, DroppedAndRefusedFramesGoBackToTheirPool) {
    auto pool = PixelBufferPool::create({});
    const auto [device, stream] = addCamera();
    ASSERT_TRUE(sink->connect());
    for (int i = 0; i < 5; ++i)
        sink->send(pool->createPixelBuffer()); // the first is queued, the rest dropped
    EXPECT_EQ(pool->outstandingCount(), 1u);
    service->takeQueued(stream);
    EXPECT_EQ(pool->outstandingCount(), 0u);

    // The device vanishes under the open link: the queue has room but refuses the sample, which
    // must not keep the buffer.
    service->removeDevice(device);
    auto frame = pool->createPixelBuffer();
    sink->send(frame);
    EXPECT_EQ(frame.use_count(), 1);

    // A frame without a picture is dropped, and it ends a spell of full findings all the same.
    const auto [other, otherStream] = addCamera();
    ASSERT_TRUE(sink->connect());
    sink->send(pool->createPixelBuffer());
    sink->send(pool->createPixelBuffer());
    ASSERT_TRUE(sink->fullSince());
    service->takeQueued(otherStream);
    sink->send(nullptr);
    EXPECT_FALSE(sink->fullSince());
}

TEST_F(SinkTest, DeviceListChangesReachTheMainThreadUntilTheSinkGoes) {
    int calls = 0;
    sink->setOnDevicesChanged([&] {
        EXPECT_TRUE(mainThread.isCurrent());
        ++calls;
    });
    const auto [device, stream] = addCamera();
    EXPECT_EQ(calls, 0) << "never synchronously";
    EXPECT_EQ(mainThread.runPending(), 1u);
    EXPECT_EQ(calls, 1);

    // A change posted before the sink goes calls nobody; the ending sink stops its stream and
    // removes its listener.
    ASSERT_TRUE(sink->connect());
    service->addPlainDevice("C", "C", {});
    sink.reset();
    EXPECT_EQ(service->stopCount(stream), 1);
    mainThread.runPending();
    EXPECT_EQ(calls, 1);
    service->addPlainDevice("D", "D", {});
    EXPECT_EQ(mainThread.runPending(), 0u);
}

} // namespace
} // namespace orlenta

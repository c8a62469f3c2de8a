// The in-memory camera service: identifiers, the system side's device list, queues and listener,
// as the app's sink connection relies on them.
#include <gtest/gtest.h>

#include "media/dispatch.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "tests/testing/camera_service_memory.h"

namespace orlenta {
namespace {

std::shared_ptr<SampleBuffer> makeSample() {
    auto buffer = PixelBuffer::create(16, 8);
    auto format = VideoFormatDescription::forImageBuffer(*buffer);
    return SampleBuffer::createReady(buffer, *format, SampleTiming{});
}

TEST(Uuid, ParsesCanonicalTextOfEitherCaseAndPrintsUpperCase) {
    const auto upper = Uuid::parse("6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B");
    const auto lower = Uuid::parse("6f4e2c1a-8b3d-4e5f-9a7b-1c2d3e4f5a6b");
    ASSERT_TRUE(upper && lower);
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(lower->toString(), "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B");
    EXPECT_EQ(upper->bytes[0], 0x6F);
    EXPECT_EQ(upper->bytes[15], 0x6B);

    EXPECT_FALSE(Uuid::parse(""));
    EXPECT_FALSE(Uuid::parse("6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6"));   // short
    EXPECT_FALSE(Uuid::parse("6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6BB")); // long
    EXPECT_FALSE(Uuid::parse("6F4E2C1A+8B3D-4E5F-9A7B-1C2D3E4F5A6B"));  // separator
    EXPECT_FALSE(Uuid::parse("6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6G"));  // digit
    EXPECT_FALSE(Uuid::parse("6F4E2C1A8B3D-4E5F-9A7B-1C2D3E4F5A6B-"));  // grouping
}

TEST(MemoryCameraSystem, ListsPlainDevicesWithTheirPropertiesAndFailures) {
    ManualExecutor queue;
    auto service = MemoryCameraService::create(queue);
    EXPECT_TRUE(service->devices().empty());

    MemoryCameraService::PlainStream sink;
    MemoryCameraService::PlainStream source;
    source.direction = kSystemStreamDirectionSource;
    MemoryCameraService::PlainStream unreadable;
    unreadable.directionUnreadable = true;
    const CameraObjectId a = service->addPlainDevice("A", "Camera A", {source, sink});
    const CameraObjectId b = service->addPlainDevice(std::nullopt, std::nullopt, {unreadable});

    EXPECT_EQ(service->devices(), (std::vector<CameraObjectId>{a, b}));
    EXPECT_NE(a, kCameraSystemObject);
    EXPECT_EQ(service->deviceUniqueId(a), "A");
    EXPECT_EQ(service->deviceName(a), "Camera A");
    EXPECT_FALSE(service->deviceUniqueId(b));
    EXPECT_FALSE(service->deviceName(b));
    const auto streams = service->deviceStreams(a);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(service->streamDirection(streams[0]), kSystemStreamDirectionSource);
    EXPECT_EQ(service->streamDirection(streams[1]), kSystemStreamDirectionSink);
    EXPECT_FALSE(service->streamDirection(service->deviceStreams(b)[0]));
    EXPECT_FALSE(service->deviceName(9999));
    EXPECT_TRUE(service->deviceStreams(9999).empty());

    service->setPropertyReadsFail(true);
    EXPECT_TRUE(service->devices().empty());
    EXPECT_FALSE(service->deviceUniqueId(a));
    EXPECT_TRUE(service->deviceStreams(a).empty());
    EXPECT_FALSE(service->streamDirection(streams[1]));
    service->setPropertyReadsFail(false);

    service->removeDevice(a);
    EXPECT_EQ(service->devices(), (std::vector<CameraObjectId>{b}));
}

TEST(MemoryCameraSystem, QueuesAreBoundedAndStartAndStopReportTheirStatus) {
    ManualExecutor queue;
    auto service = MemoryCameraService::create(queue);
    MemoryCameraService::PlainStream good;
    good.queueCapacity = 2;
    MemoryCameraService::PlainStream refusing;
    refusing.copyBufferQueueStatus = kCameraStatusFailed;
    MemoryCameraService::PlainStream empty;
    empty.copyGivesNoQueue = true;
    MemoryCameraService::PlainStream unstartable;
    unstartable.startStatus = kCameraStatusFailed;
    const CameraObjectId device =
        service->addPlainDevice("D", "D", {good, refusing, empty, unstartable});
    const auto streams = service->deviceStreams(device);

    BufferQueueResult copied = service->copyBufferQueue(streams[0]);
    ASSERT_EQ(copied.status, kCameraStatusOk);
    ASSERT_TRUE(copied.queue);
    EXPECT_EQ(copied.queue->capacity(), 2);
    EXPECT_EQ(copied.queue->count(), 0);
    EXPECT_TRUE(copied.queue->enqueue(makeSample()));
    EXPECT_TRUE(copied.queue->enqueue(makeSample()));
    EXPECT_FALSE(copied.queue->enqueue(makeSample())) << "a full queue refuses at once";
    EXPECT_EQ(copied.queue->count(), 2);
    EXPECT_FALSE(copied.queue->enqueue(nullptr));
    EXPECT_EQ(service->takeQueued(streams[0]).size(), 2u);
    EXPECT_EQ(copied.queue->count(), 0);

    EXPECT_EQ(service->copyBufferQueue(streams[1]).status, kCameraStatusFailed);
    EXPECT_FALSE(service->copyBufferQueue(streams[1]).queue);
    const BufferQueueResult none = service->copyBufferQueue(streams[2]);
    EXPECT_EQ(none.status, kCameraStatusOk);
    EXPECT_FALSE(none.queue);
    EXPECT_EQ(service->copyBufferQueue(4242).status, kCameraStatusUnknownObject);

    EXPECT_EQ(service->startStream(device, streams[0]), kCameraStatusOk);
    EXPECT_EQ(service->startStream(device, streams[3]), kCameraStatusFailed);
    EXPECT_EQ(service->startStream(device + 100, streams[0]), kCameraStatusUnknownObject);
    EXPECT_EQ(service->stopStream(device, streams[0]), kCameraStatusOk);
    EXPECT_EQ(service->startCount(streams[0]), 1);
    EXPECT_EQ(service->stopCount(streams[0]), 1);

    // A removed device's queues take nothing more.
    ASSERT_TRUE(copied.queue->enqueue(makeSample()));
    service->removeDevice(device);
    EXPECT_FALSE(copied.queue->enqueue(makeSample()));
}

TEST(MemoryCameraSystem, DeviceListListenersRunOnTheirExecutorUntilRemoved) {
    ManualExecutor serviceQueue;
    ManualExecutor mainThread;
    auto service = MemoryCameraService::create(serviceQueue);
    int calls = 0;
    const auto id = service->addDeviceListListener(mainThread, [&] { ++calls; });

    const CameraObjectId device = service->addPlainDevice("X", "X", {});
    EXPECT_EQ(calls, 0) << "listeners never run inside the change";
    mainThread.runPending();
    EXPECT_EQ(calls, 1);
    service->removeDevice(device);
    mainThread.runPending();
    EXPECT_EQ(calls, 2);

    service->removeDeviceListListener(id);
    service->addPlainDevice("Y", "Y", {});
    mainThread.runPending();
    EXPECT_EQ(calls, 2);
}

} // namespace
} // namespace orlenta

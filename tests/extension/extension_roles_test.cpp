// The daemon's roles: sink-client admission, and the start and stop of both streams.
#include <gtest/gtest.h>

#include "extension/extension_device_source_testing.h"
#include "tests/testing/daemon_fixture.h"

namespace orlenta {
namespace {

using testing::DaemonFixture;

TEST(ExtensionRoles, SinkAdmissionKeepsTheLatestClientAndStartConsumesOnlyFromIt) {
    DaemonFixture daemon;
    ASSERT_TRUE(daemon.start());
    ExtensionDeviceSource& device = daemon.device();
    ExtensionStreamSink& sink = *device.sinkStream();
    const auto first = daemon.service->connectClient("first");
    const auto second = daemon.service->connectClient("second");
    EXPECT_TRUE(sink.authorizedToStartStream(first));
    EXPECT_TRUE(sink.authorizedToStartStream(second));
    daemon.pump();
    EXPECT_EQ(daemon.service->consumeRequestCount(), 0u) << "admission alone starts nothing";

    // Both clients write; only the second one's frames are taken.
    for (const auto& client : {first, second})
        ASSERT_TRUE(daemon.service->writeSample(
            daemon.sinkStream(), client,
            SampleBuffer::createReady(ExtensionDeviceSourceTesting::placeholder(device),
                                      ExtensionDeviceSourceTesting::formatDescription(device),
                                      {})));
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

TEST(ExtensionRoles, RolesOfAGoneDeviceSourceAnswerSuccessAndDoNothing) {
    DaemonFixture daemon;
    ASSERT_TRUE(daemon.start());
    auto sourceRole = daemon.device().sourceStream();
    auto sinkRole = daemon.device().sinkStream();
    daemon.provider.reset();
    EXPECT_TRUE(sourceRole->startStream());
    EXPECT_TRUE(sourceRole->stopStream());
    EXPECT_TRUE(sinkRole->authorizedToStartStream(std::make_shared<CameraExtensionClient>(7, "")));
    EXPECT_TRUE(sinkRole->startStream());
    EXPECT_TRUE(sinkRole->stopStream());
    daemon.advance(0.1);
    EXPECT_EQ(daemon.service->consumeRequestCount(), 0u);
}

} // namespace
} // namespace orlenta

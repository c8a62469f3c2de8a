// The daemon's roles: sink-client admission, the start and stop of both streams, and how they
// carry on when the service refuses what they make.
#include <gtest/gtest.h>

#include "extension/extension_device_source_testing.h"
#include "media/log.h"
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

// A service whose provider refuses the device, or whose device refuses its streams.
class RefusingService final : public CameraExtensionService {
public:
    RefusingService(std::shared_ptr<CameraExtensionService> inner, bool refuseDevice)
        : inner_(std::move(inner)), refuseDevice_(refuseDevice) {}
    std::shared_ptr<CameraExtensionProvider>
    makeProvider(std::weak_ptr<CameraExtensionProviderSource>, Executor*) override {
        return std::make_shared<Provider>(refuseDevice_);
    }
    std::shared_ptr<CameraExtensionDevice>
    makeDevice(std::string name, const Uuid& id, std::optional<std::string> legacy,
               std::weak_ptr<CameraExtensionDeviceSource> source) override {
        auto device = inner_->makeDevice(std::move(name), id, std::move(legacy), std::move(source));
        return refuseDevice_ ? device : std::make_shared<Device>(device, addStreamCalls);
    }
    std::shared_ptr<CameraExtensionStream>
    makeStream(std::string name, const Uuid& id, CameraStreamDirection direction,
               CameraStreamClockType clock,
               std::weak_ptr<CameraExtensionStreamSource> source) override {
        return inner_->makeStream(std::move(name), id, direction, clock, std::move(source));
    }
    bool startService(const std::shared_ptr<CameraExtensionProvider>&, std::string*) override {
        return true;
    }

    std::shared_ptr<int> addStreamCalls = std::make_shared<int>(0);

private:
    struct Provider final : CameraExtensionProvider {
        explicit Provider(bool refusing) : refuse(refusing) {}
        std::optional<CameraExtensionError>
        addDevice(const std::shared_ptr<CameraExtensionDevice>&) override {
            return refuse ? std::optional(CameraExtensionError{"no devices today"}) : std::nullopt;
        }
        bool refuse;
    };
    struct Device final : CameraExtensionDevice {
        Device(std::shared_ptr<CameraExtensionDevice> wrapped, std::shared_ptr<int> counter)
            : inner(std::move(wrapped)), calls(std::move(counter)) {}
        const std::string& localizedName() const override { return inner->localizedName(); }
        const Uuid& deviceId() const override { return inner->deviceId(); }
        const std::optional<std::string>& legacyDeviceId() const override {
            return inner->legacyDeviceId();
        }
        std::optional<CameraExtensionError>
        addStream(const std::shared_ptr<CameraExtensionStream>&) override {
            ++*calls;
            return CameraExtensionError{"no room for streams"};
        }
        std::shared_ptr<CameraExtensionDevice> inner;
        std::shared_ptr<int> calls;
    };

    std::shared_ptr<CameraExtensionService> inner_;
    bool refuseDevice_;
};

TEST(ExtensionRoles, RefusedStreamsOrDeviceAreLoggedOnceAndTheDaemonCarriesOn) {
    for (const bool refuseDevice : {false, true}) {
        LogCapture capture;
        ManualExecutor queue;
        auto refusing =
            std::make_shared<RefusingService>(MemoryCameraService::create(queue), refuseDevice);
        DaemonFixture daemon(refusing);
        ASSERT_TRUE(daemon.provider) << "the provider is returned in either case";
        EXPECT_TRUE(ExtensionDeviceSourceTesting::placeholder(daemon.device()))
            << "the placeholder is drawn all the same";
        const auto records = capture.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, refuseDevice ? "Could not add device: no devices today"
                                                   : "Could not add streams: no room for streams");
        EXPECT_EQ(records[0].level, LogLevel::error);
        EXPECT_EQ(*refusing->addStreamCalls, refuseDevice ? 0 : 1)
            << "the sink is not tried after the source";
    }
}

} // namespace
} // namespace orlenta

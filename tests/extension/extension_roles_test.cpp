// The daemon's provider, device and stream roles: what they publish, every property answer, set
// requests, client admission and the start and stop of both streams.
#include <gtest/gtest.h>

#include "extension/extension_identity.h"
#include "media/log.h"
#include "tests/testing/daemon_fixture.h"

namespace orlenta {
namespace {

using testing::DaemonFixture;
using P = CameraExtensionProperty;

const CameraExtensionPropertySet kEveryProperty = {P::providerManufacturer,
                                                   P::deviceTransportType,
                                                   P::deviceModel,
                                                   P::streamActiveFormatIndex,
                                                   P::streamFrameDuration,
                                                   P::streamSinkBufferQueueSize,
                                                   P::streamSinkBuffersRequiredForStartup,
                                                   P::streamSinkBufferUnderrunCount,
                                                   P::streamSinkEndOfData};

TEST(ExtensionRoles, PublishOneDeviceWithTheFixedIdentitiesAndFormat) {
    DaemonFixture daemon;
    ASSERT_TRUE(daemon.provider);
    ASSERT_TRUE(daemon.start());

    // The app's view.
    const auto devices = daemon.service->devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(daemon.service->deviceUniqueId(devices[0]), "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B");
    EXPECT_EQ(daemon.service->deviceName(devices[0]), "Orlenta Camera");
    const auto streams = daemon.service->deviceStreams(devices[0]);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(daemon.service->streamDirection(streams[0]), kSystemStreamDirectionSource);
    EXPECT_EQ(daemon.service->streamDirection(streams[1]), kSystemStreamDirectionSink);

    // The framework objects.
    const CameraExtensionDevice& device = *daemon.device().device();
    EXPECT_EQ(device.localizedName(), "Orlenta Camera");
    EXPECT_EQ(device.deviceId().toString(), "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B");
    EXPECT_EQ(device.legacyDeviceId(), "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B");
    const auto source = daemon.sourceStream();
    const auto sink = daemon.sinkStream();
    EXPECT_EQ(source->localizedName(), "Orlenta Camera.Video");
    EXPECT_EQ(source->streamId().toString(), "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6C");
    EXPECT_EQ(source->direction(), CameraStreamDirection::source);
    EXPECT_EQ(source->clockType(), CameraStreamClockType::hostTime);
    EXPECT_EQ(sink->localizedName(), "Orlenta Camera.Sink");
    EXPECT_EQ(sink->streamId().toString(), "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6D");
    EXPECT_EQ(sink->direction(), CameraStreamDirection::sink);
    EXPECT_EQ(sink->clockType(), CameraStreamClockType::hostTime);

    for (const auto& formats :
         {daemon.device().sourceStream()->formats(), daemon.device().sinkStream()->formats()}) {
        ASSERT_EQ(formats.size(), 1u);
        const CameraStreamFormat& format = formats[0];
        EXPECT_EQ(format.formatDescription.codecType, 0x42475241u);
        EXPECT_EQ(format.formatDescription.width, 1280);
        EXPECT_EQ(format.formatDescription.height, 720);
        EXPECT_EQ(format.maxFrameDuration, Time::make(1, 30));
        EXPECT_EQ(format.minFrameDuration, Time::make(1, 30));
        EXPECT_TRUE(format.validFrameDurations.empty());
    }
    EXPECT_EQ(daemon.device().formatDescription().width, 1280);
    EXPECT_TRUE(daemon.device().placeholder());
}

TEST(ExtensionRoles, AnswerExactlyTheirOwnPropertiesAndNothingElse) {
    DaemonFixture daemon;
    const ExtensionProviderSource& provider = *daemon.provider;
    const ExtensionDeviceSource& device = daemon.device();
    const ExtensionStreamSource& source = *device.sourceStream();
    const ExtensionStreamSink& sink = *device.sinkStream();

    EXPECT_EQ(provider.availableProperties(), CameraExtensionPropertySet{P::providerManufacturer});
    EXPECT_EQ(provider.providerProperties(kEveryProperty).manufacturer, "orlenta.example");
    EXPECT_EQ(provider.providerProperties({P::deviceModel}), CameraExtensionProviderProperties{});

    EXPECT_EQ(device.availableProperties(),
              (CameraExtensionPropertySet{P::deviceTransportType, P::deviceModel}));
    const auto deviceAnswer = device.deviceProperties(kEveryProperty);
    EXPECT_EQ(deviceAnswer.transportType, 1986622068u);
    EXPECT_EQ(deviceAnswer.model, "Orlenta Camera");
    const auto onlyModel = device.deviceProperties({P::deviceModel, P::providerManufacturer});
    EXPECT_FALSE(onlyModel.transportType);
    EXPECT_EQ(onlyModel.model, "Orlenta Camera");
    EXPECT_EQ(device.deviceProperties({P::streamFrameDuration}), CameraExtensionDeviceProperties{});

    EXPECT_EQ(source.availableProperties(),
              (CameraExtensionPropertySet{P::streamActiveFormatIndex, P::streamFrameDuration}));
    const auto sourceAnswer = source.streamProperties(kEveryProperty);
    EXPECT_EQ(sourceAnswer.activeFormatIndex, 0);
    EXPECT_EQ(sourceAnswer.frameDuration, Time::make(1, 30));
    EXPECT_FALSE(sourceAnswer.sinkBufferQueueSize);
    EXPECT_FALSE(sourceAnswer.sinkBuffersRequiredForStartup);

    EXPECT_EQ(sink.availableProperties().size(), 6u);
    const auto sinkAnswer = sink.streamProperties(kEveryProperty);
    EXPECT_EQ(sinkAnswer.activeFormatIndex, 0);
    EXPECT_EQ(sinkAnswer.frameDuration, Time::make(1, 30));
    EXPECT_EQ(sinkAnswer.sinkBufferQueueSize, 1u);
    EXPECT_EQ(sinkAnswer.sinkBuffersRequiredForStartup, 1u);
    EXPECT_FALSE(sinkAnswer.sinkBufferUnderrunCount) << "offered, never given a value";
    EXPECT_FALSE(sinkAnswer.sinkEndOfData) << "offered, never given a value";
    EXPECT_EQ(sink.streamProperties({P::streamSinkEndOfData, P::streamSinkBufferUnderrunCount}),
              CameraExtensionStreamProperties{});
}

TEST(ExtensionRoles, SetRequestsSucceedAndOnlyStoreTheActiveFormatIndex) {
    DaemonFixture daemon;
    ExtensionDeviceSource& device = daemon.device();
    CameraExtensionStreamProperties request;
    request.activeFormatIndex = 5;
    request.frameDuration = Time::make(1, 5);
    for (CameraExtensionStreamSource* role : std::initializer_list<CameraExtensionStreamSource*>{
             device.sourceStream().get(), device.sinkStream().get()}) {
        EXPECT_TRUE(role->setStreamProperties(request));
        const auto answer =
            role->streamProperties({P::streamActiveFormatIndex, P::streamFrameDuration});
        EXPECT_EQ(answer.activeFormatIndex, 0) << "answers stay 0 whatever was stored";
        EXPECT_EQ(answer.frameDuration, Time::make(1, 30));
    }
    EXPECT_EQ(device.sourceStream()->activeFormatIndex(), 5);
    EXPECT_EQ(device.sinkStream()->activeFormatIndex(), 5);
    EXPECT_TRUE(device.sinkStream()->setStreamProperties({}));
    EXPECT_EQ(device.sinkStream()->activeFormatIndex(), 5);

    EXPECT_TRUE(daemon.provider->setProviderProperties({std::string("someone.else")}));
    EXPECT_EQ(daemon.provider->providerProperties({P::providerManufacturer}).manufacturer,
              "orlenta.example");
    EXPECT_TRUE(device.setDeviceProperties({1u, std::string("Other")}));
    EXPECT_EQ(device.deviceProperties({P::deviceModel}).model, "Orlenta Camera");
    EXPECT_TRUE(daemon.provider->connectClient(std::make_shared<CameraExtensionClient>(1, "x")));
}

TEST(ExtensionRoles, SinkAdmissionKeepsTheLatestClientAndStartConsumesOnlyFromIt) {
    DaemonFixture daemon;
    ASSERT_TRUE(daemon.start());
    ExtensionDeviceSource& device = daemon.device();
    ExtensionStreamSink& sink = *device.sinkStream();
    const auto first = daemon.service->connectClient("first");
    const auto second = daemon.service->connectClient("second");

    EXPECT_TRUE(sink.authorizedToStartStream(first));
    EXPECT_TRUE(sink.authorizedToStartStream(second));
    EXPECT_EQ(sink.client(), second);
    EXPECT_FALSE(device.sinkClient()) << "admission alone starts nothing";

    // Both clients write; only the second one's frames are taken.
    ASSERT_TRUE(daemon.service->writeSample(
        daemon.sinkStream(), first,
        SampleBuffer::createReady(device.placeholder(), device.formatDescription(), {})));
    ASSERT_TRUE(daemon.service->writeSample(
        daemon.sinkStream(), second,
        SampleBuffer::createReady(device.placeholder(), device.formatDescription(), {})));
    EXPECT_TRUE(sink.startStream());
    EXPECT_EQ(device.sinkClient(), second);
    daemon.pump();
    const auto outputs = daemon.service->scheduledOutputs(*daemon.sinkStream());
    ASSERT_EQ(outputs.size(), 1u) << "one frame, from the second client";
    EXPECT_EQ(daemon.service->pendingConsumeCount(), 1u) << "and the next request waits";

    // Stop clears the sink client but keeps the admitted one; a new start reuses it.
    EXPECT_TRUE(sink.stopStream());
    EXPECT_FALSE(device.sinkClient());
    EXPECT_EQ(sink.client(), second);
    EXPECT_TRUE(sink.startStream());
    EXPECT_EQ(device.sinkClient(), second);
}

TEST(ExtensionRoles, SourceStartsAndStopsCountReadersAndNeverGoBelowZero) {
    DaemonFixture daemon;
    ExtensionDeviceSource& device = daemon.device();
    ExtensionStreamSource& source = *device.sourceStream();
    EXPECT_TRUE(source.authorizedToStartStream(nullptr));

    EXPECT_TRUE(source.stopStream()) << "a stop without a start";
    EXPECT_EQ(device.sourceClients(), 0);
    EXPECT_FALSE(device.hasPlaceholderTimer());

    EXPECT_TRUE(source.startStream());
    EXPECT_TRUE(source.startStream());
    EXPECT_EQ(device.sourceClients(), 2);
    EXPECT_TRUE(device.hasPlaceholderTimer());
    EXPECT_EQ(daemon.timers->repeatingTimersStarted(), 1) << "one timer serves all readers";
    EXPECT_TRUE(source.stopStream());
    EXPECT_EQ(device.sourceClients(), 1);
    EXPECT_TRUE(device.hasPlaceholderTimer());
    EXPECT_TRUE(source.stopStream());
    EXPECT_TRUE(source.stopStream());
    EXPECT_EQ(device.sourceClients(), 0);
    EXPECT_FALSE(device.hasPlaceholderTimer());

    // Once the device source is gone the roles still answer success and do nothing.
    auto sourceRole = device.sourceStream();
    auto sinkRole = device.sinkStream();
    daemon.provider.reset();
    EXPECT_TRUE(sourceRole->startStream());
    EXPECT_TRUE(sourceRole->stopStream());
    EXPECT_TRUE(sinkRole->authorizedToStartStream(std::make_shared<CameraExtensionClient>(7, "")));
    EXPECT_TRUE(sinkRole->startStream());
    EXPECT_TRUE(sinkRole->stopStream());
}

// A service whose provider or device refuses what it is given, to see how the roles carry on.
class RefusingService final : public CameraExtensionService {
public:
    RefusingService(std::shared_ptr<CameraExtensionService> inner, bool refuseDevice,
                    bool refuseStreams)
        : inner_(std::move(inner)), refuseDevice_(refuseDevice), refuseStreams_(refuseStreams) {}

    std::shared_ptr<CameraExtensionProvider>
    makeProvider(std::weak_ptr<CameraExtensionProviderSource> source, Executor* queue) override {
        // The wrapped devices are not the inner service's own, so a fake provider takes them.
        if (refuseDevice_ || refuseStreams_)
            return std::make_shared<Provider>(refuseDevice_);
        return inner_->makeProvider(std::move(source), queue);
    }
    std::shared_ptr<CameraExtensionDevice>
    makeDevice(std::string name, const Uuid& id, std::optional<std::string> legacy,
               std::weak_ptr<CameraExtensionDeviceSource> source) override {
        auto device = inner_->makeDevice(std::move(name), id, std::move(legacy), std::move(source));
        return refuseStreams_ ? std::make_shared<Device>(device, addStreamCalls) : device;
    }
    std::shared_ptr<CameraExtensionStream>
    makeStream(std::string name, const Uuid& id, CameraStreamDirection direction,
               CameraStreamClockType clock,
               std::weak_ptr<CameraExtensionStreamSource> source) override {
        return inner_->makeStream(std::move(name), id, direction, clock, std::move(source));
    }
    bool startService(const std::shared_ptr<CameraExtensionProvider>& provider,
                      std::string* error) override {
        return inner_->startService(provider, error);
    }

    std::shared_ptr<int> addStreamCalls = std::make_shared<int>(0);

private:
    struct Provider final : CameraExtensionProvider {
        explicit Provider(bool refusing) : refuse(refusing) {}
        std::optional<CameraExtensionError>
        addDevice(const std::shared_ptr<CameraExtensionDevice>&) override {
            if (refuse)
                return CameraExtensionError{"no devices today"};
            return std::nullopt;
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
    bool refuseStreams_;
};

TEST(ExtensionRoles, RefusedStreamsAndDeviceAreLoggedOnceAndTheDaemonCarriesOn) {
    LogCapture capture;
    {
        ManualExecutor queue;
        auto refusing =
            std::make_shared<RefusingService>(MemoryCameraService::create(queue), false, true);
        DaemonFixture daemon(refusing);
        ASSERT_TRUE(daemon.provider);
        EXPECT_EQ(*refusing->addStreamCalls, 1) << "the sink is not tried after the source";
        EXPECT_TRUE(daemon.device().placeholder()) << "the placeholder is drawn all the same";
        const auto records = capture.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, "Could not add streams: no room for streams");
        EXPECT_EQ(records[0].level, LogLevel::error);
        EXPECT_EQ(records[0].subsystem, "example.orlenta.camera.extension");
        EXPECT_EQ(records[0].category, "extension");
    }
    capture.clear();
    {
        ManualExecutor queue;
        auto refusing =
            std::make_shared<RefusingService>(MemoryCameraService::create(queue), true, false);
        DaemonFixture daemon(refusing);
        ASSERT_TRUE(daemon.provider) << "the provider is returned in either case";
        EXPECT_EQ(capture.messages(),
                  std::vector<std::string>{"Could not add device: no devices today"});
    }
    capture.clear();
    {
        DaemonFixture daemon;
        EXPECT_TRUE(capture.messages().empty()) << "a normal start logs nothing";
    }
}

} // namespace
} // namespace orlenta

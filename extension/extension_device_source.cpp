#include "extension/extension_device_source.h"

#include <algorithm>
#include <utility>

#include "camera_service/virtual_camera.h"
#include "extension/extension_log.h"
#include "extension/placeholder.h"

namespace orlenta {

namespace {

bool asked(const CameraExtensionPropertySet& properties, CameraExtensionProperty property) {
    return properties.count(property) != 0;
}

} // namespace

uint64_t hostTimeInNanoseconds(const Time& time) {
    if (!time.isValid() || time.value <= 0)
        return 0;
    // Whole seconds and the fraction apart: the remainder is below the timescale (< 2^31), so
    // neither product overflows for any time this side of three centuries of uptime.
    constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;
    const auto value = static_cast<uint64_t>(time.value);
    const auto timescale = static_cast<uint64_t>(time.timescale);
    return value / timescale * kNanosecondsPerSecond +
           value % timescale * kNanosecondsPerSecond / timescale;
}

// --- ExtensionStreamSource ---------------------------------------------------------------------

ExtensionStreamSource::ExtensionStreamSource(std::weak_ptr<ExtensionDeviceSource> device,
                                             CameraStreamFormat format)
    : format_(std::move(format)), device_(std::move(device)) {}

CameraExtensionPropertySet ExtensionStreamSource::availableProperties() const {
    return {CameraExtensionProperty::streamActiveFormatIndex,
            CameraExtensionProperty::streamFrameDuration};
}

CameraExtensionStreamProperties
ExtensionStreamSource::streamProperties(const CameraExtensionPropertySet& properties) const {
    CameraExtensionStreamProperties answer;
    if (asked(properties, CameraExtensionProperty::streamActiveFormatIndex))
        answer.activeFormatIndex = 0;
    if (asked(properties, CameraExtensionProperty::streamFrameDuration))
        answer.frameDuration = virtual_camera::kFrameDuration;
    return answer;
}

bool ExtensionStreamSource::setStreamProperties(const CameraExtensionStreamProperties& properties) {
    if (properties.activeFormatIndex)
        activeFormatIndex_ = *properties.activeFormatIndex;
    return true;
}

bool ExtensionStreamSource::authorizedToStartStream(const CameraExtensionClientPtr&) {
    return true;
}

bool ExtensionStreamSource::startStream() {
    if (auto device = device_.lock())
        device->startSource();
    return true;
}

bool ExtensionStreamSource::stopStream() {
    if (auto device = device_.lock())
        device->stopSource();
    return true;
}

// --- ExtensionStreamSink -----------------------------------------------------------------------

ExtensionStreamSink::ExtensionStreamSink(std::weak_ptr<ExtensionDeviceSource> device,
                                         CameraStreamFormat format)
    : format_(std::move(format)), device_(std::move(device)) {}

CameraExtensionClientPtr ExtensionStreamSink::client() const {
    std::lock_guard lock(mutex_);
    return client_;
}

CameraExtensionPropertySet ExtensionStreamSink::availableProperties() const {
    return {CameraExtensionProperty::streamActiveFormatIndex,
            CameraExtensionProperty::streamFrameDuration,
            CameraExtensionProperty::streamSinkBufferQueueSize,
            CameraExtensionProperty::streamSinkBuffersRequiredForStartup,
            CameraExtensionProperty::streamSinkBufferUnderrunCount,
            CameraExtensionProperty::streamSinkEndOfData};
}

CameraExtensionStreamProperties
ExtensionStreamSink::streamProperties(const CameraExtensionPropertySet& properties) const {
    CameraExtensionStreamProperties answer;
    if (asked(properties, CameraExtensionProperty::streamActiveFormatIndex))
        answer.activeFormatIndex = 0;
    if (asked(properties, CameraExtensionProperty::streamFrameDuration))
        answer.frameDuration = virtual_camera::kFrameDuration;
    if (asked(properties, CameraExtensionProperty::streamSinkBufferQueueSize))
        answer.sinkBufferQueueSize = 1;
    if (asked(properties, CameraExtensionProperty::streamSinkBuffersRequiredForStartup))
        answer.sinkBuffersRequiredForStartup = 1;
    // The underrun count and end of data are offered but never given a value.
    return answer;
}

bool ExtensionStreamSink::setStreamProperties(const CameraExtensionStreamProperties& properties) {
    if (properties.activeFormatIndex)
        activeFormatIndex_ = *properties.activeFormatIndex;
    return true;
}

bool ExtensionStreamSink::authorizedToStartStream(const CameraExtensionClientPtr& client) {
    std::lock_guard lock(mutex_);
    client_ = client;
    return true;
}

bool ExtensionStreamSink::startStream() {
    CameraExtensionClientPtr admitted = client();
    auto device = device_.lock();
    if (admitted && device) {
        device->setSinkClient(admitted);
        device->consumeNextBuffer(admitted);
    }
    return true;
}

bool ExtensionStreamSink::stopStream() {
    if (auto device = device_.lock())
        device->clearSinkClient();
    return true;
}

// --- ExtensionDeviceSource ---------------------------------------------------------------------

ExtensionDeviceSource::ExtensionDeviceSource(Environment environment)
    : environment_(std::move(environment)),
      formatDescription_(VideoFormatDescription::create(virtual_camera::kPixelFormat,
                                                        virtual_camera::kFrameWidth,
                                                        virtual_camera::kFrameHeight)
                             .value_or(VideoFormatDescription{virtual_camera::kPixelFormat,
                                                              virtual_camera::kFrameWidth,
                                                              virtual_camera::kFrameHeight})) {}

// The second output's handler refers to the device source weakly and does nothing once it is
// gone; the next device source made for the same output replaces it.
ExtensionDeviceSource::~ExtensionDeviceSource() = default;

std::shared_ptr<ExtensionDeviceSource>
ExtensionDeviceSource::create(const std::string& localizedName, Environment environment) {
    if (!environment.service || !environment.timerQueue)
        return nullptr;
    std::shared_ptr<ExtensionDeviceSource> source(
        new ExtensionDeviceSource(std::move(environment)));
    source->build(localizedName);
    return source;
}

void ExtensionDeviceSource::build(const std::string& localizedName) {
    CameraExtensionService& service = *environment_.service;
    const std::weak_ptr<ExtensionDeviceSource> self = weak_from_this();
    device_ = service.makeDevice(localizedName, virtual_camera::deviceUuid(),
                                 virtual_camera::deviceUuid().toString(), self);

    const CameraStreamFormat format{
        formatDescription_, virtual_camera::kFrameDuration, virtual_camera::kFrameDuration, {}};

    sourceStream_ = std::make_shared<ExtensionStreamSource>(self, format);
    sourceStream_->setStream(service.makeStream(
        std::string(virtual_camera::kSourceStreamName), virtual_camera::sourceStreamUuid(),
        CameraStreamDirection::source, CameraStreamClockType::hostTime, sourceStream_));
    sinkStream_ = std::make_shared<ExtensionStreamSink>(self, format);
    sinkStream_->setStream(service.makeStream(
        std::string(virtual_camera::kSinkStreamName), virtual_camera::sinkStreamUuid(),
        CameraStreamDirection::sink, CameraStreamClockType::hostTime, sinkStream_));

    if (device_) {
        std::optional<CameraExtensionError> error = device_->addStream(sourceStream_->stream());
        if (!error)
            error = device_->addStream(sinkStream_->stream());
        if (error)
            extensionLogger().error("Could not add streams: " + error->localizedDescription);
    }

    placeholder_ =
        environment_.placeholderMaker ? environment_.placeholderMaker() : makePlaceholder();

    if (environment_.secondOutput) {
        environment_.secondOutput->setWantsFramesHandler([self] {
            if (auto device = self.lock())
                device->secondOutputChanged();
        });
        secondOutputChanged();
    }
}

CameraExtensionPropertySet ExtensionDeviceSource::availableProperties() const {
    return {CameraExtensionProperty::deviceTransportType, CameraExtensionProperty::deviceModel};
}

CameraExtensionDeviceProperties
ExtensionDeviceSource::deviceProperties(const CameraExtensionPropertySet& properties) const {
    CameraExtensionDeviceProperties answer;
    if (asked(properties, CameraExtensionProperty::deviceTransportType))
        answer.transportType = kCameraTransportTypeVirtual;
    if (asked(properties, CameraExtensionProperty::deviceModel))
        answer.model = std::string(virtual_camera::kDeviceModel);
    return answer;
}

bool ExtensionDeviceSource::setDeviceProperties(const CameraExtensionDeviceProperties&) {
    return true;
}

uint64_t ExtensionDeviceSource::hostTimeNowNanoseconds(Time* hostTime) const {
    const Time now = environment_.hostClock ? environment_.hostClock() : hostClockTime();
    if (hostTime)
        *hostTime = now;
    return hostTimeInNanoseconds(now);
}

bool ExtensionDeviceSource::secondOutputWantsFrames() const {
    return environment_.secondOutput && environment_.secondOutput->wantsFrames();
}

void ExtensionDeviceSource::updatePlaceholderTimerLocked() {
    const bool needed = sourceClients_ > 0 || secondOutputWantsFrames();
    if (needed && !placeholderTimer_) {
        const std::weak_ptr<ExtensionDeviceSource> weak = weak_from_this();
        placeholderTimer_ = environment_.timerQueue->startRepeatingTimer(
            0, virtual_camera::kFrameDuration.seconds(), [weak] {
                if (auto self = weak.lock())
                    self->sendPlaceholderIfIdle();
            });
    } else if (!needed && placeholderTimer_) {
        placeholderTimer_->invalidate();
        placeholderTimer_.reset();
    }
}

void ExtensionDeviceSource::startSource() {
    std::lock_guard lock(mutex_);
    ++sourceClients_;
    updatePlaceholderTimerLocked();
}

void ExtensionDeviceSource::stopSource() {
    std::lock_guard lock(mutex_);
    sourceClients_ = std::max<int64_t>(sourceClients_ - 1, 0);
    updatePlaceholderTimerLocked();
}

void ExtensionDeviceSource::secondOutputChanged() {
    std::lock_guard lock(mutex_);
    updatePlaceholderTimerLocked();
}

void ExtensionDeviceSource::sendPlaceholderIfIdle() {
    // The decision and the send happen under the lock, so a tick cannot slip a placeholder in
    // after a relayed frame that arrived while it was deciding.
    std::lock_guard lock(mutex_);
    const bool readers = sourceClients_ >= 1;
    const bool secondOutput = secondOutputWantsFrames();
    if (!readers && !secondOutput)
        return;
    if (lastSinkFrame_ && environment_.timerQueue->now() - *lastSinkFrame_ <= kIdleThresholdSeconds)
        return;
    if (!placeholder_)
        return;
    if (secondOutput)
        environment_.secondOutput->offer(placeholder_);
    const std::shared_ptr<CameraExtensionStream>& stream = sourceStream_->stream();
    if (!readers || !stream)
        return;
    Time presentationTime;
    const uint64_t hostNanoseconds = hostTimeNowNanoseconds(&presentationTime);
    const SampleTiming timing{virtual_camera::kFrameDuration, presentationTime, Time::invalid()};
    std::shared_ptr<SampleBuffer> sample =
        SampleBuffer::createReady(placeholder_, formatDescription_, timing);
    if (!sample)
        return;
    stream->sendSampleBuffer(std::move(sample), 0, hostNanoseconds);
}

void ExtensionDeviceSource::consumeNextBuffer(const CameraExtensionClientPtr& client) {
    {
        std::lock_guard lock(mutex_);
        if (!sinkClient_ || sinkClient_ != client)
            return;
    }
    requestBuffer(client);
}

void ExtensionDeviceSource::requestBuffer(const CameraExtensionClientPtr& client) {
    const std::shared_ptr<CameraExtensionStream>& stream = sinkStream_->stream();
    if (!stream)
        return;
    const std::weak_ptr<ExtensionDeviceSource> weak = weak_from_this();
    stream->consumeSampleBuffer(client, [weak, client](ConsumedSampleBuffer consumed) {
        if (auto self = weak.lock())
            self->handleConsumedBuffer(std::move(consumed), client);
    });
}

void ExtensionDeviceSource::handleConsumedBuffer(ConsumedSampleBuffer consumed,
                                                 const CameraExtensionClientPtr& client) {
    if (consumed.sampleBuffer) {
        const uint64_t hostNanoseconds = hostTimeNowNanoseconds(nullptr);
        {
            std::lock_guard lock(mutex_);
            lastSinkFrame_ = environment_.timerQueue->now();
            const std::shared_ptr<CameraExtensionStream>& source = sourceStream_->stream();
            if (sourceClients_ >= 1 && source)
                source->sendSampleBuffer(consumed.sampleBuffer, 0, hostNanoseconds);
            if (secondOutputWantsFrames())
                environment_.secondOutput->offer(consumed.sampleBuffer->imageBuffer());
        }
        if (const std::shared_ptr<CameraExtensionStream>& sink = sinkStream_->stream())
            sink->notifyScheduledOutputChanged({consumed.sequenceNumber, hostNanoseconds});
    }

    if (!consumed.error) {
        bool stillSinkClient = false;
        {
            std::lock_guard lock(mutex_);
            stillSinkClient = sinkClient_ && sinkClient_ == client;
        }
        if (stillSinkClient)
            requestBuffer(client);
        return;
    }
    // The retry refers to the device source weakly, like every other callback: if it is gone by
    // then there is nothing left to relay to.
    const std::weak_ptr<ExtensionDeviceSource> weak = weak_from_this();
    environment_.timerQueue->asyncAfter(kRetryDelaySeconds, [weak, client] {
        if (auto self = weak.lock())
            self->consumeNextBuffer(client);
    });
}

void ExtensionDeviceSource::setSinkClient(CameraExtensionClientPtr client) {
    std::lock_guard lock(mutex_);
    sinkClient_ = std::move(client);
}

void ExtensionDeviceSource::clearSinkClient() {
    std::lock_guard lock(mutex_);
    sinkClient_.reset();
}

int64_t ExtensionDeviceSource::sourceClients() const {
    std::lock_guard lock(mutex_);
    return sourceClients_;
}

CameraExtensionClientPtr ExtensionDeviceSource::sinkClient() const {
    std::lock_guard lock(mutex_);
    return sinkClient_;
}

bool ExtensionDeviceSource::hasPlaceholderTimer() const {
    std::lock_guard lock(mutex_);
    return placeholderTimer_ != nullptr;
}

} // namespace orlenta

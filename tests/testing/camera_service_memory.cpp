#include "tests/testing/camera_service_memory.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "media/simple_queue.h"

namespace orlenta {

namespace {

class MemoryQueue;
class MemoryStream;
class MemoryDevice;
class MemoryProvider;

} // namespace

struct MemoryCameraService::State : std::enable_shared_from_this<MemoryCameraService::State> {
    explicit State(Executor& queue) : serviceQueue(queue) {}

    struct StreamEntry {
        CameraObjectId id = 0;
        CameraObjectId device = 0;
        uint32_t direction = kSystemStreamDirectionSink;
        std::optional<PlainStream> plain;        // set for streams of plain devices
        std::shared_ptr<MemoryStream> published; // set for published streams
        std::shared_ptr<MemoryQueue> latestQueue;
        bool started = false;
        int starts = 0;
        int stops = 0;
    };
    struct DeviceEntry {
        CameraObjectId id = 0;
        std::optional<std::string> uniqueId;
        std::optional<std::string> name;
        std::vector<CameraObjectId> streams;
        std::shared_ptr<MemoryDevice> published;
    };
    struct Listener {
        Executor* executor = nullptr;
        Task task;
    };

    Executor& serviceQueue;
    mutable std::mutex mutex;
    CameraObjectId nextObjectId = kCameraSystemObject + 1;
    std::map<CameraObjectId, DeviceEntry> devices;
    std::map<CameraObjectId, StreamEntry> streams;
    std::map<ListenerId, Listener> listeners;
    ListenerId nextListenerId = 1;
    std::shared_ptr<MemoryProvider> provider;
    bool readsFail = false;
    size_t failConsumes = 0;
    size_t consumeRequests = 0;
    uint64_t nextClientId = 1;
    CameraExtensionClientPtr appClient;

    // Posts the listeners; called with the mutex held (posting never calls back).
    void notifyListenersLocked() {
        for (const auto& [id, listener] : listeners)
            listener.executor->post(listener.task);
    }
    void addPublishedDeviceLocked(const std::shared_ptr<MemoryDevice>& device);
    void removeDeviceLocked(CameraObjectId id);
    void serveLocked(MemoryStream& stream);
};

namespace {

using State = MemoryCameraService::State;

class MemoryQueue final : public SinkBufferQueue {
public:
    MemoryQueue(std::weak_ptr<State> state, int32_t capacity, std::weak_ptr<MemoryStream> stream)
        : state_(std::move(state)), stream_(std::move(stream)),
          queue_(static_cast<size_t>(std::max(capacity, 0))) {}

    int32_t count() const override { return static_cast<int32_t>(queue_.count()); }
    int32_t capacity() const override { return static_cast<int32_t>(queue_.capacity()); }
    bool enqueue(std::shared_ptr<SampleBuffer> sample) override;

    std::optional<std::shared_ptr<SampleBuffer>> dequeue() { return queue_.dequeue(); }
    uint64_t takeSequenceNumber() { return nextSequence_++; }
    void close() { open_ = false; }

private:
    std::weak_ptr<State> state_;
    std::weak_ptr<MemoryStream> stream_;
    SimpleQueue<std::shared_ptr<SampleBuffer>> queue_;
    std::atomic<bool> open_{true};
    std::atomic<uint64_t> nextSequence_{1};
};

class MemoryStream final : public CameraExtensionStream,
                           public std::enable_shared_from_this<MemoryStream> {
public:
    MemoryStream(std::weak_ptr<State> state, std::string name, const Uuid& id,
                 CameraStreamDirection direction, CameraStreamClockType clockType,
                 std::weak_ptr<CameraExtensionStreamSource> source)
        : state_(std::move(state)), name_(std::move(name)), id_(id), direction_(direction),
          clockType_(clockType), source_(std::move(source)) {}

    const std::string& localizedName() const override { return name_; }
    const Uuid& streamId() const override { return id_; }
    CameraStreamDirection direction() const override { return direction_; }
    CameraStreamClockType clockType() const override { return clockType_; }

    void consumeSampleBuffer(const CameraExtensionClientPtr& client,
                             ConsumeCompletion completion) override;
    void notifyScheduledOutputChanged(const CameraExtensionScheduledOutput& output) override {
        const auto state = state_.lock();
        if (!state)
            return;
        std::lock_guard lock(state->mutex);
        outputs.push_back(output);
    }
    void sendSampleBuffer(std::shared_ptr<SampleBuffer> sampleBuffer, uint32_t discontinuity,
                          uint64_t hostTimeInNanoseconds) override {
        const auto state = state_.lock();
        if (!state)
            return;
        std::lock_guard lock(state->mutex);
        sent.push_back({std::move(sampleBuffer), discontinuity, hostTimeInNanoseconds});
    }

    const std::weak_ptr<CameraExtensionStreamSource>& source() const { return source_; }

    // Guarded by State::mutex.
    Executor* clientQueue = nullptr;
    int32_t sinkCapacity = 1;
    std::map<const CameraExtensionClient*, std::shared_ptr<MemoryQueue>> writerQueues;
    struct Pending {
        CameraExtensionClientPtr client;
        ConsumeCompletion completion;
    };
    std::deque<Pending> pending;
    std::deque<MemoryCameraService::SentSample> sent;
    std::vector<CameraExtensionScheduledOutput> outputs;

private:
    std::weak_ptr<State> state_;
    std::string name_;
    Uuid id_;
    CameraStreamDirection direction_;
    CameraStreamClockType clockType_;
    std::weak_ptr<CameraExtensionStreamSource> source_;
};

class MemoryDevice final : public CameraExtensionDevice {
public:
    MemoryDevice(std::weak_ptr<State> state, std::string name, const Uuid& id,
                 std::optional<std::string> legacyId)
        : state_(std::move(state)), name_(std::move(name)), id_(id),
          legacyId_(std::move(legacyId)) {}

    const std::string& localizedName() const override { return name_; }
    const Uuid& deviceId() const override { return id_; }
    const std::optional<std::string>& legacyDeviceId() const override { return legacyId_; }

    std::optional<CameraExtensionError>
    addStream(const std::shared_ptr<CameraExtensionStream>& stream) override {
        const auto state = state_.lock();
        auto memoryStream = std::dynamic_pointer_cast<MemoryStream>(stream);
        if (!state || !memoryStream)
            return CameraExtensionError{"The stream was not made by this service."};
        std::lock_guard lock(state->mutex);
        streams.push_back(std::move(memoryStream));
        return std::nullopt;
    }

    // Guarded by State::mutex.
    std::vector<std::shared_ptr<MemoryStream>> streams;

private:
    std::weak_ptr<State> state_;
    std::string name_;
    Uuid id_;
    std::optional<std::string> legacyId_;
};

class MemoryProvider final : public CameraExtensionProvider {
public:
    MemoryProvider(std::weak_ptr<State> state, std::weak_ptr<CameraExtensionProviderSource> source,
                   Executor* clientQueue)
        : state_(std::move(state)), source_(std::move(source)), clientQueue_(clientQueue) {}

    std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>& device) override {
        const auto state = state_.lock();
        auto memoryDevice = std::dynamic_pointer_cast<MemoryDevice>(device);
        if (!state || !memoryDevice)
            return CameraExtensionError{"The device was not made by this service."};
        std::lock_guard lock(state->mutex);
        devices.push_back(memoryDevice);
        if (started)
            state->addPublishedDeviceLocked(memoryDevice);
        return std::nullopt;
    }

    const std::weak_ptr<CameraExtensionProviderSource>& source() const { return source_; }
    Executor* clientQueue() const { return clientQueue_; }

    // Guarded by State::mutex.
    std::vector<std::shared_ptr<MemoryDevice>> devices;
    bool started = false;

private:
    std::weak_ptr<State> state_;
    std::weak_ptr<CameraExtensionProviderSource> source_;
    Executor* clientQueue_;
};

// Where a stream's sources are called.
Executor& sourceQueueLocked(State& state, const MemoryStream& stream) {
    return stream.clientQueue ? *stream.clientQueue : state.serviceQueue;
}

bool MemoryQueue::enqueue(std::shared_ptr<SampleBuffer> sample) {
    if (!open_ || !sample)
        return false;
    if (!queue_.enqueue(std::move(sample)))
        return false;
    const auto state = state_.lock();
    const auto stream = stream_.lock();
    if (state && stream) {
        std::lock_guard lock(state->mutex);
        state->serveLocked(*stream);
    }
    return true;
}

void MemoryStream::consumeSampleBuffer(const CameraExtensionClientPtr& client,
                                       ConsumeCompletion completion) {
    const auto state = state_.lock();
    if (!state || !completion)
        return;
    std::lock_guard lock(state->mutex);
    ++state->consumeRequests;
    const auto fail = [&](std::string text) {
        ConsumedSampleBuffer result;
        result.error = CameraExtensionError{std::move(text)};
        state->serviceQueue.post(
            [completion = std::move(completion), result = std::move(result)]() mutable {
                completion(std::move(result));
            });
    };
    if (state->failConsumes > 0) {
        --state->failConsumes;
        fail("The sink request failed.");
        return;
    }
    if (direction() != CameraStreamDirection::sink || !client ||
        writerQueues.find(client.get()) == writerQueues.end()) {
        fail("The client does not write this stream.");
        return;
    }
    pending.push_back({client, std::move(completion)});
    state->serveLocked(*this);
}

} // namespace

void State::serveLocked(MemoryStream& stream) {
    for (auto it = stream.pending.begin(); it != stream.pending.end();) {
        const auto queueIt = stream.writerQueues.find(it->client.get());
        std::optional<std::shared_ptr<SampleBuffer>> sample;
        if (queueIt != stream.writerQueues.end())
            sample = queueIt->second->dequeue();
        if (!sample) {
            ++it;
            continue;
        }
        ConsumedSampleBuffer result;
        result.sampleBuffer = std::move(*sample);
        result.sequenceNumber = queueIt->second->takeSequenceNumber();
        result.hasMoreSampleBuffers = queueIt->second->count() > 0;
        serviceQueue.post(
            [completion = std::move(it->completion), result = std::move(result)]() mutable {
                completion(std::move(result));
            });
        it = stream.pending.erase(it);
    }
}

void State::addPublishedDeviceLocked(const std::shared_ptr<MemoryDevice>& device) {
    DeviceEntry entry;
    entry.id = nextObjectId++;
    entry.uniqueId = device->deviceId().toString();
    entry.name = device->localizedName();
    entry.published = device;
    for (const auto& stream : device->streams) {
        StreamEntry streamEntry;
        streamEntry.id = nextObjectId++;
        streamEntry.device = entry.id;
        streamEntry.direction = stream->direction() == CameraStreamDirection::sink
                                    ? kSystemStreamDirectionSink
                                    : kSystemStreamDirectionSource;
        streamEntry.published = stream;
        entry.streams.push_back(streamEntry.id);
        streams.emplace(streamEntry.id, std::move(streamEntry));
    }
    devices.emplace(entry.id, std::move(entry));
    notifyListenersLocked();
}

void State::removeDeviceLocked(CameraObjectId id) {
    const auto it = devices.find(id);
    if (it == devices.end())
        return;
    for (const CameraObjectId streamId : it->second.streams) {
        const auto streamIt = streams.find(streamId);
        if (streamIt == streams.end())
            continue;
        StreamEntry& entry = streamIt->second;
        if (entry.latestQueue)
            entry.latestQueue->close();
        if (entry.published && entry.started) {
            if (auto source = entry.published->source().lock()) {
                sourceQueueLocked(*this, *entry.published).post([source] { source->stopStream(); });
            }
        }
        streams.erase(streamIt);
    }
    devices.erase(it);
    notifyListenersLocked();
}

MemoryCameraService::MemoryCameraService(Executor& serviceQueue)
    : state_(std::make_shared<State>(serviceQueue)) {}

MemoryCameraService::~MemoryCameraService() = default;

std::shared_ptr<MemoryCameraService> MemoryCameraService::create(Executor& serviceQueue) {
    return std::shared_ptr<MemoryCameraService>(new MemoryCameraService(serviceQueue));
}

// --- CameraSystem ------------------------------------------------------------------------------

std::vector<CameraObjectId> MemoryCameraService::devices() const {
    std::lock_guard lock(state_->mutex);
    std::vector<CameraObjectId> ids;
    if (state_->readsFail)
        return ids;
    for (const auto& [id, entry] : state_->devices)
        ids.push_back(id);
    return ids;
}

std::optional<std::string> MemoryCameraService::deviceUniqueId(CameraObjectId device) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->devices.find(device);
    if (state_->readsFail || it == state_->devices.end())
        return std::nullopt;
    return it->second.uniqueId;
}

std::optional<std::string> MemoryCameraService::deviceName(CameraObjectId device) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->devices.find(device);
    if (state_->readsFail || it == state_->devices.end())
        return std::nullopt;
    return it->second.name;
}

std::vector<CameraObjectId> MemoryCameraService::deviceStreams(CameraObjectId device) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->devices.find(device);
    if (state_->readsFail || it == state_->devices.end())
        return {};
    return it->second.streams;
}

std::optional<uint32_t> MemoryCameraService::streamDirection(CameraObjectId stream) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->streams.find(stream);
    if (state_->readsFail || it == state_->streams.end())
        return std::nullopt;
    if (it->second.plain && it->second.plain->directionUnreadable)
        return std::nullopt;
    return it->second.direction;
}

BufferQueueResult MemoryCameraService::copyBufferQueue(CameraObjectId stream) {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->streams.find(stream);
    if (it == state_->streams.end())
        return {kCameraStatusUnknownObject, nullptr};
    State::StreamEntry& entry = it->second;
    if (entry.plain) {
        if (entry.plain->copyBufferQueueStatus != kCameraStatusOk)
            return {entry.plain->copyBufferQueueStatus, nullptr};
        if (entry.plain->copyGivesNoQueue)
            return {kCameraStatusOk, nullptr};
        entry.latestQueue = std::make_shared<MemoryQueue>(state_, entry.plain->queueCapacity,
                                                          std::weak_ptr<MemoryStream>());
        return {kCameraStatusOk, entry.latestQueue};
    }
    if (entry.direction != kSystemStreamDirectionSink)
        return {kCameraStatusUnsupported, nullptr};
    entry.latestQueue =
        std::make_shared<MemoryQueue>(state_, entry.published->sinkCapacity, entry.published);
    return {kCameraStatusOk, entry.latestQueue};
}

CameraStatus MemoryCameraService::startStream(CameraObjectId device, CameraObjectId stream) {
    CameraExtensionClientPtr client = appClient();
    std::lock_guard lock(state_->mutex);
    const auto it = state_->streams.find(stream);
    if (it == state_->streams.end() || it->second.device != device)
        return kCameraStatusUnknownObject;
    State::StreamEntry& entry = it->second;
    ++entry.starts;
    if (entry.plain) {
        if (entry.plain->startStatus == kCameraStatusOk)
            entry.started = true;
        return entry.plain->startStatus;
    }
    MemoryStream& published = *entry.published;
    if (entry.direction == kSystemStreamDirectionSink) {
        if (!entry.latestQueue)
            return kCameraStatusNotReady;
        published.writerQueues[client.get()] = entry.latestQueue;
    }
    if (entry.started)
        return kCameraStatusOk;
    entry.started = true;
    if (auto source = published.source().lock()) {
        sourceQueueLocked(*state_, published).post([source, client] {
            if (source->authorizedToStartStream(client))
                source->startStream();
        });
    }
    state_->serveLocked(published);
    return kCameraStatusOk;
}

CameraStatus MemoryCameraService::stopStream(CameraObjectId device, CameraObjectId stream) {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->streams.find(stream);
    if (it == state_->streams.end() || it->second.device != device)
        return kCameraStatusUnknownObject;
    State::StreamEntry& entry = it->second;
    ++entry.stops;
    if (!entry.started)
        return kCameraStatusOk;
    entry.started = false;
    if (entry.published) {
        if (auto source = entry.published->source().lock()) {
            sourceQueueLocked(*state_, *entry.published).post([source] { source->stopStream(); });
        }
    }
    return kCameraStatusOk;
}

CameraSystem::ListenerId MemoryCameraService::addDeviceListListener(Executor& executor,
                                                                    Task listener) {
    std::lock_guard lock(state_->mutex);
    const ListenerId id = state_->nextListenerId++;
    state_->listeners.emplace(id, State::Listener{&executor, std::move(listener)});
    return id;
}

void MemoryCameraService::removeDeviceListListener(ListenerId id) {
    std::lock_guard lock(state_->mutex);
    state_->listeners.erase(id);
}

// --- CameraExtensionService --------------------------------------------------------------------

std::shared_ptr<CameraExtensionProvider>
MemoryCameraService::makeProvider(std::weak_ptr<CameraExtensionProviderSource> source,
                                  Executor* clientQueue) {
    return std::make_shared<MemoryProvider>(state_, std::move(source), clientQueue);
}

std::shared_ptr<CameraExtensionDevice>
MemoryCameraService::makeDevice(std::string localizedName, const Uuid& deviceId,
                                std::optional<std::string> legacyDeviceId,
                                std::weak_ptr<CameraExtensionDeviceSource>) {
    return std::make_shared<MemoryDevice>(state_, std::move(localizedName), deviceId,
                                          std::move(legacyDeviceId));
}

std::shared_ptr<CameraExtensionStream>
MemoryCameraService::makeStream(std::string localizedName, const Uuid& streamId,
                                CameraStreamDirection direction, CameraStreamClockType clockType,
                                std::weak_ptr<CameraExtensionStreamSource> source) {
    return std::make_shared<MemoryStream>(state_, std::move(localizedName), streamId, direction,
                                          clockType, std::move(source));
}

bool MemoryCameraService::startService(const std::shared_ptr<CameraExtensionProvider>& provider,
                                       std::string* errorMessage) {
    auto memoryProvider = std::dynamic_pointer_cast<MemoryProvider>(provider);
    if (!memoryProvider) {
        if (errorMessage)
            *errorMessage = "The provider was not made by this service.";
        return false;
    }
    // Ask the sink sources for their queue size before taking the lock: sources may take locks
    // of their own.
    std::vector<std::shared_ptr<MemoryStream>> sinks;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->provider) {
            if (errorMessage)
                *errorMessage = "The service is already running.";
            return false;
        }
        for (const auto& device : memoryProvider->devices)
            for (const auto& stream : device->streams)
                if (stream->direction() == CameraStreamDirection::sink)
                    sinks.push_back(stream);
    }
    std::vector<int32_t> capacities;
    for (const auto& stream : sinks) {
        int32_t capacity = 1;
        if (auto source = stream->source().lock()) {
            const auto answer =
                source->streamProperties({CameraExtensionProperty::streamSinkBufferQueueSize});
            if (answer.sinkBufferQueueSize && *answer.sinkBufferQueueSize > 0)
                capacity =
                    static_cast<int32_t>(std::min<uint32_t>(*answer.sinkBufferQueueSize, 64));
        }
        capacities.push_back(capacity);
    }
    std::lock_guard lock(state_->mutex);
    for (size_t i = 0; i < sinks.size(); ++i)
        sinks[i]->sinkCapacity = capacities[i];
    state_->provider = memoryProvider;
    memoryProvider->started = true;
    for (const auto& device : memoryProvider->devices) {
        for (const auto& stream : device->streams)
            stream->clientQueue = memoryProvider->clientQueue();
        state_->addPublishedDeviceLocked(device);
    }
    return true;
}

// --- Test controls -----------------------------------------------------------------------------

CameraObjectId MemoryCameraService::addPlainDevice(std::optional<std::string> uniqueId,
                                                   std::optional<std::string> name,
                                                   const std::vector<PlainStream>& streams) {
    std::lock_guard lock(state_->mutex);
    State::DeviceEntry entry;
    entry.id = state_->nextObjectId++;
    entry.uniqueId = std::move(uniqueId);
    entry.name = std::move(name);
    for (const PlainStream& plain : streams) {
        State::StreamEntry streamEntry;
        streamEntry.id = state_->nextObjectId++;
        streamEntry.device = entry.id;
        streamEntry.direction = plain.direction;
        streamEntry.plain = plain;
        entry.streams.push_back(streamEntry.id);
        state_->streams.emplace(streamEntry.id, std::move(streamEntry));
    }
    const CameraObjectId id = entry.id;
    state_->devices.emplace(id, std::move(entry));
    state_->notifyListenersLocked();
    return id;
}

void MemoryCameraService::removeDevice(CameraObjectId device) {
    std::lock_guard lock(state_->mutex);
    state_->removeDeviceLocked(device);
}

std::optional<CameraObjectId> MemoryCameraService::objectIdOfDevice(const Uuid& deviceId) const {
    std::lock_guard lock(state_->mutex);
    for (const auto& [id, entry] : state_->devices)
        if (entry.published && entry.published->deviceId() == deviceId)
            return id;
    return std::nullopt;
}

std::optional<CameraObjectId> MemoryCameraService::objectIdOfStream(const Uuid& streamId) const {
    std::lock_guard lock(state_->mutex);
    for (const auto& [id, entry] : state_->streams)
        if (entry.published && entry.published->streamId() == streamId)
            return id;
    return std::nullopt;
}

void MemoryCameraService::setPropertyReadsFail(bool fail) {
    std::lock_guard lock(state_->mutex);
    state_->readsFail = fail;
}

int MemoryCameraService::startCount(CameraObjectId stream) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->streams.find(stream);
    return it == state_->streams.end() ? 0 : it->second.starts;
}

int MemoryCameraService::stopCount(CameraObjectId stream) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->streams.find(stream);
    return it == state_->streams.end() ? 0 : it->second.stops;
}

std::vector<std::shared_ptr<SampleBuffer>> MemoryCameraService::takeQueued(CameraObjectId stream) {
    std::shared_ptr<MemoryQueue> queue;
    {
        std::lock_guard lock(state_->mutex);
        const auto it = state_->streams.find(stream);
        if (it != state_->streams.end())
            queue = it->second.latestQueue;
    }
    std::vector<std::shared_ptr<SampleBuffer>> samples;
    while (queue) {
        auto sample = queue->dequeue();
        if (!sample)
            break;
        samples.push_back(std::move(*sample));
    }
    return samples;
}

CameraExtensionClientPtr MemoryCameraService::connectClient(std::string description) {
    std::shared_ptr<MemoryProvider> provider;
    CameraExtensionClientPtr client;
    {
        std::lock_guard lock(state_->mutex);
        client =
            std::make_shared<CameraExtensionClient>(state_->nextClientId++, std::move(description));
        provider = state_->provider;
        if (provider) {
            if (auto source = provider->source().lock()) {
                Executor& queue =
                    provider->clientQueue() ? *provider->clientQueue() : state_->serviceQueue;
                queue.post([source, client] { source->connectClient(client); });
            }
        }
    }
    return client;
}

CameraExtensionClientPtr MemoryCameraService::appClient() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->appClient)
            return state_->appClient;
    }
    auto client = connectClient("app");
    std::lock_guard lock(state_->mutex);
    if (!state_->appClient)
        state_->appClient = client;
    return state_->appClient;
}

void MemoryCameraService::startClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                                            const CameraExtensionClientPtr& client) {
    auto memoryStream = std::dynamic_pointer_cast<MemoryStream>(stream);
    if (!memoryStream || !client)
        return;
    std::lock_guard lock(state_->mutex);
    if (memoryStream->direction() == CameraStreamDirection::sink &&
        memoryStream->writerQueues.find(client.get()) == memoryStream->writerQueues.end()) {
        memoryStream->writerQueues[client.get()] = std::make_shared<MemoryQueue>(
            state_, memoryStream->sinkCapacity, std::weak_ptr<MemoryStream>(memoryStream));
    }
    if (auto source = memoryStream->source().lock()) {
        sourceQueueLocked(*state_, *memoryStream).post([source, client] {
            if (source->authorizedToStartStream(client))
                source->startStream();
        });
    }
}

void MemoryCameraService::stopClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                                           const CameraExtensionClientPtr& client) {
    auto memoryStream = std::dynamic_pointer_cast<MemoryStream>(stream);
    if (!memoryStream || !client)
        return;
    std::lock_guard lock(state_->mutex);
    if (auto source = memoryStream->source().lock())
        sourceQueueLocked(*state_, *memoryStream).post([source] { source->stopStream(); });
}

bool MemoryCameraService::writeSample(const std::shared_ptr<CameraExtensionStream>& stream,
                                      const CameraExtensionClientPtr& client,
                                      std::shared_ptr<SampleBuffer> sample) {
    auto memoryStream = std::dynamic_pointer_cast<MemoryStream>(stream);
    if (!memoryStream || !client)
        return false;
    std::shared_ptr<MemoryQueue> queue;
    {
        std::lock_guard lock(state_->mutex);
        auto& slot = memoryStream->writerQueues[client.get()];
        if (!slot)
            slot = std::make_shared<MemoryQueue>(state_, memoryStream->sinkCapacity,
                                                 std::weak_ptr<MemoryStream>(memoryStream));
        queue = slot;
    }
    return queue->enqueue(std::move(sample));
}

void MemoryCameraService::failNextConsumes(size_t n) {
    std::lock_guard lock(state_->mutex);
    state_->failConsumes = n;
}

size_t MemoryCameraService::pendingConsumeCount() const {
    std::lock_guard lock(state_->mutex);
    size_t count = 0;
    if (state_->provider)
        for (const auto& device : state_->provider->devices)
            for (const auto& stream : device->streams)
                count += stream->pending.size();
    return count;
}

size_t MemoryCameraService::consumeRequestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->consumeRequests;
}

std::vector<MemoryCameraService::SentSample>
MemoryCameraService::takeSentSamples(CameraExtensionStream& stream) {
    auto* memoryStream = dynamic_cast<MemoryStream*>(&stream);
    if (!memoryStream)
        return {};
    std::lock_guard lock(state_->mutex);
    std::vector<SentSample> samples(memoryStream->sent.begin(), memoryStream->sent.end());
    memoryStream->sent.clear();
    return samples;
}

std::vector<CameraExtensionScheduledOutput>
MemoryCameraService::scheduledOutputs(const CameraExtensionStream& stream) const {
    const auto* memoryStream = dynamic_cast<const MemoryStream*>(&stream);
    if (!memoryStream)
        return {};
    std::lock_guard lock(state_->mutex);
    return memoryStream->outputs;
}

} // namespace orlenta

#include "tests/testing/camera_service_memory.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <utility>

#include "media/simple_queue.h"

namespace orlenta {

// --- MemoryCameraSystem ------------------------------------------------------------------------

class MemoryCameraSystem::Queue final : public SinkBufferQueue {
public:
    explicit Queue(int32_t capacity) : queue_(static_cast<size_t>(std::max(capacity, 0))) {}
    int32_t count() const override { return static_cast<int32_t>(queue_.count()); }
    int32_t capacity() const override { return static_cast<int32_t>(queue_.capacity()); }
    bool enqueue(std::shared_ptr<SampleBuffer> sample) override {
        return open_ && sample && queue_.enqueue(std::move(sample));
    }
    std::optional<std::shared_ptr<SampleBuffer>> dequeue() { return queue_.dequeue(); }
    void close() { open_ = false; }

private:
    SimpleQueue<std::shared_ptr<SampleBuffer>> queue_;
    std::atomic<bool> open_{true};
};

void MemoryCameraSystem::notifyLocked() {
    for (const auto& [id, listener] : listeners_)
        listener.first->post(listener.second);
}

CameraObjectId MemoryCameraSystem::addPlainDevice(std::optional<std::string> uniqueId,
                                                  std::optional<std::string> name,
                                                  const std::vector<PlainStream>& streams) {
    std::lock_guard lock(mutex_);
    const CameraObjectId id = nextId_++;
    Device device{std::move(uniqueId), std::move(name), {}};
    for (const PlainStream& plain : streams) {
        device.streams.push_back(nextId_);
        streams_[nextId_++] = Stream{id, plain, nullptr, 0};
    }
    devices_.emplace(id, std::move(device));
    notifyLocked();
    return id;
}

void MemoryCameraSystem::removeDevice(CameraObjectId device) {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(device);
    if (it == devices_.end())
        return;
    for (const CameraObjectId stream : it->second.streams) {
        if (const auto& queue = streams_[stream].latestQueue)
            queue->close();
        streams_.erase(stream);
    }
    devices_.erase(it);
    notifyLocked();
}

void MemoryCameraSystem::setPropertyReadsFail(bool fail) {
    std::lock_guard lock(mutex_);
    readsFail_ = fail;
}

void MemoryCameraSystem::setStreamHidden(CameraObjectId stream, bool hidden) {
    std::lock_guard lock(mutex_);
    if (hidden)
        hidden_.insert(stream);
    else
        hidden_.erase(stream);
}

int MemoryCameraSystem::startCount(CameraObjectId stream) const {
    std::lock_guard lock(mutex_);
    const auto it = streams_.find(stream);
    return it == streams_.end() ? 0 : it->second.starts;
}

int MemoryCameraSystem::stopCount(CameraObjectId stream) const {
    std::lock_guard lock(mutex_);
    const auto it = stops_.find(stream);
    return it == stops_.end() ? 0 : it->second;
}

std::vector<std::shared_ptr<SampleBuffer>> MemoryCameraSystem::takeQueued(CameraObjectId stream) {
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard lock(mutex_);
        const auto it = streams_.find(stream);
        if (it != streams_.end())
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

std::vector<CameraObjectId> MemoryCameraSystem::devices() const {
    std::lock_guard lock(mutex_);
    std::vector<CameraObjectId> ids;
    for (const auto& [id, device] : devices_)
        if (!readsFail_)
            ids.push_back(id);
    return ids;
}

std::optional<std::string> MemoryCameraSystem::deviceUniqueId(CameraObjectId device) const {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(device);
    return readsFail_ || it == devices_.end() ? std::nullopt : it->second.uniqueId;
}

std::optional<std::string> MemoryCameraSystem::deviceName(CameraObjectId device) const {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(device);
    return readsFail_ || it == devices_.end() ? std::nullopt : it->second.name;
}

std::vector<CameraObjectId> MemoryCameraSystem::deviceStreams(CameraObjectId device) const {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(device);
    if (readsFail_ || it == devices_.end())
        return {};
    std::vector<CameraObjectId> streams = it->second.streams;
    std::erase_if(streams, [&](CameraObjectId s) { return hidden_.count(s) != 0; });
    return streams;
}

std::optional<uint32_t> MemoryCameraSystem::streamDirection(CameraObjectId stream) const {
    std::lock_guard lock(mutex_);
    const auto it = streams_.find(stream);
    if (readsFail_ || it == streams_.end() || it->second.plain.directionUnreadable)
        return std::nullopt;
    return it->second.plain.direction;
}

BufferQueueResult MemoryCameraSystem::copyBufferQueue(CameraObjectId stream) {
    std::lock_guard lock(mutex_);
    const auto it = streams_.find(stream);
    if (it == streams_.end())
        return {kCameraStatusUnknownObject, nullptr};
    if (it->second.plain.copyBufferQueueStatus != kCameraStatusOk)
        return {it->second.plain.copyBufferQueueStatus, nullptr};
    it->second.latestQueue = std::make_shared<Queue>(it->second.plain.queueCapacity);
    return {kCameraStatusOk, it->second.latestQueue};
}

CameraStatus MemoryCameraSystem::startStream(CameraObjectId device, CameraObjectId stream) {
    std::lock_guard lock(mutex_);
    const auto it = streams_.find(stream);
    if (it == streams_.end() || it->second.device != device)
        return kCameraStatusUnknownObject;
    ++it->second.starts;
    return it->second.plain.startStatus;
}

CameraStatus MemoryCameraSystem::stopStream(CameraObjectId device, CameraObjectId stream) {
    std::lock_guard lock(mutex_);
    ++stops_[stream];
    const auto it = streams_.find(stream);
    return it == streams_.end() || it->second.device != device ? kCameraStatusUnknownObject
                                                               : kCameraStatusOk;
}

CameraSystem::ListenerId MemoryCameraSystem::addDeviceListListener(Executor& executor,
                                                                   Task listener) {
    std::lock_guard lock(mutex_);
    listeners_.emplace(nextListener_, std::pair{&executor, std::move(listener)});
    return nextListener_++;
}

void MemoryCameraSystem::removeDeviceListListener(ListenerId id) {
    std::lock_guard lock(mutex_);
    listeners_.erase(id);
}

// --- MemoryCameraService -----------------------------------------------------------------------

namespace {

class MemoryStream;
class MemoryProvider;

} // namespace

struct MemoryCameraService::State {
    explicit State(Executor& queue) : serviceQueue(queue) {}

    Executor& serviceQueue;
    mutable std::mutex mutex;
    std::shared_ptr<MemoryProvider> provider;
    size_t failConsumes = 0;
    size_t consumeRequests = 0;
    uint64_t nextClientId = 1;

    // Completes the stream's waiting sink requests from its writers' queues.
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

private:
    std::weak_ptr<State> state_;
    std::weak_ptr<MemoryStream> stream_;
    SimpleQueue<std::shared_ptr<SampleBuffer>> queue_;
    std::atomic<uint64_t> nextSequence_{1};
};

class MemoryStream final : public CameraExtensionStream {
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
        if (const auto state = state_.lock()) {
            std::lock_guard lock(state->mutex);
            outputs.push_back(output);
        }
    }
    void sendSampleBuffer(std::shared_ptr<SampleBuffer> sampleBuffer, uint32_t discontinuity,
                          uint64_t hostTimeInNanoseconds) override {
        if (const auto state = state_.lock()) {
            std::lock_guard lock(state->mutex);
            sent.push_back({std::move(sampleBuffer), discontinuity, hostTimeInNanoseconds});
        }
    }

    const std::weak_ptr<CameraExtensionStreamSource>& source() const { return source_; }
    // Where the stream's source is called.
    Executor& sourceQueueLocked(State& state) const {
        return clientQueue ? *clientQueue : state.serviceQueue;
    }

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
        return std::nullopt;
    }

    const std::weak_ptr<CameraExtensionProviderSource>& source() const { return source_; }
    Executor* clientQueue() const { return clientQueue_; }

    // Guarded by State::mutex.
    std::vector<std::shared_ptr<MemoryDevice>> devices;

private:
    std::weak_ptr<State> state_;
    std::weak_ptr<CameraExtensionProviderSource> source_;
    Executor* clientQueue_;
};

bool MemoryQueue::enqueue(std::shared_ptr<SampleBuffer> sample) {
    if (!sample || !queue_.enqueue(std::move(sample)))
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

MemoryCameraService::MemoryCameraService(Executor& serviceQueue)
    : state_(std::make_shared<State>(serviceQueue)) {}

MemoryCameraService::~MemoryCameraService() = default;

std::shared_ptr<MemoryCameraService> MemoryCameraService::create(Executor& serviceQueue) {
    return std::shared_ptr<MemoryCameraService>(new MemoryCameraService(serviceQueue));
}

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
    // The sink sources are asked for their queue size without the lock: sources may take locks
    // of their own.
    std::vector<std::shared_ptr<MemoryStream>> streams;
    {
        std::lock_guard lock(state_->mutex);
        if (!memoryProvider || state_->provider) {
            if (errorMessage)
                *errorMessage = "The provider was not made by this service, or it runs already.";
            return false;
        }
        for (const auto& device : memoryProvider->devices)
            streams.insert(streams.end(), device->streams.begin(), device->streams.end());
    }
    std::vector<int32_t> capacities;
    for (const auto& stream : streams) {
        int32_t capacity = 1;
        const auto source = stream->source().lock();
        if (source && stream->direction() == CameraStreamDirection::sink) {
            const auto answer =
                source->streamProperties({CameraExtensionProperty::streamSinkBufferQueueSize});
            if (answer.sinkBufferQueueSize && *answer.sinkBufferQueueSize > 0)
                capacity =
                    static_cast<int32_t>(std::min<uint32_t>(*answer.sinkBufferQueueSize, 64));
        }
        capacities.push_back(capacity);
    }
    std::lock_guard lock(state_->mutex);
    for (size_t i = 0; i < streams.size(); ++i) {
        streams[i]->sinkCapacity = capacities[i];
        streams[i]->clientQueue = memoryProvider->clientQueue();
    }
    state_->provider = memoryProvider;
    return true;
}

CameraExtensionClientPtr MemoryCameraService::connectClient(std::string description) {
    std::lock_guard lock(state_->mutex);
    auto client =
        std::make_shared<CameraExtensionClient>(state_->nextClientId++, std::move(description));
    const auto& provider = state_->provider;
    if (auto source = provider ? provider->source().lock() : nullptr) {
        Executor& queue = provider->clientQueue() ? *provider->clientQueue() : state_->serviceQueue;
        queue.post([source, client] { source->connectClient(client); });
    }
    return client;
}

void MemoryCameraService::startClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                                            const CameraExtensionClientPtr& client) {
    auto memoryStream = std::dynamic_pointer_cast<MemoryStream>(stream);
    if (!memoryStream || !client)
        return;
    if (memoryStream->direction() == CameraStreamDirection::sink)
        writerQueue(stream, client);
    std::lock_guard lock(state_->mutex);
    if (auto source = memoryStream->source().lock()) {
        memoryStream->sourceQueueLocked(*state_).post([source, client] {
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
        memoryStream->sourceQueueLocked(*state_).post([source] { source->stopStream(); });
}

std::shared_ptr<SinkBufferQueue>
MemoryCameraService::writerQueue(const std::shared_ptr<CameraExtensionStream>& stream,
                                 const CameraExtensionClientPtr& client) {
    auto memoryStream = std::dynamic_pointer_cast<MemoryStream>(stream);
    if (!memoryStream || !client)
        return nullptr;
    std::lock_guard lock(state_->mutex);
    auto& slot = memoryStream->writerQueues[client.get()];
    if (!slot)
        slot = std::make_shared<MemoryQueue>(state_, memoryStream->sinkCapacity, memoryStream);
    return slot;
}

bool MemoryCameraService::writeSample(const std::shared_ptr<CameraExtensionStream>& stream,
                                      const CameraExtensionClientPtr& client,
                                      std::shared_ptr<SampleBuffer> sample) {
    const auto queue = writerQueue(stream, client);
    return queue && queue->enqueue(std::move(sample));
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

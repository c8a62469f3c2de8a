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

} // namespace

struct MemoryCameraService::State {
    explicit State(Executor& queue) : serviceQueue(queue) {}

    Executor& serviceQueue;
    mutable std::mutex mutex;
    std::weak_ptr<CameraExtensionProviderSource> providerSource;
    std::vector<std::shared_ptr<MemoryStream>> streams;
    size_t failConsumes = 0;
    size_t consumeRequests = 0;
    uint64_t nextClientId = 1;

    // Completes the stream's waiting sink requests from its writers' queues.
    void serveLocked(MemoryStream& stream);
    void complete(ConsumeCompletion completion, ConsumedSampleBuffer result) {
        serviceQueue.post([completion = std::move(completion), result = std::move(result)] {
            completion(result);
        });
    }
};

namespace {

using State = MemoryCameraService::State;

// A writer's queue into a sink stream; every enqueue lets the stream serve waiting requests.
class MemoryQueue final : public SinkBufferQueue {
public:
    MemoryQueue(std::weak_ptr<State> state, std::weak_ptr<MemoryStream> stream)
        : state_(std::move(state)), stream_(std::move(stream)) {}
    int32_t count() const override { return static_cast<int32_t>(queue_.count()); }
    int32_t capacity() const override { return 1; }
    bool enqueue(std::shared_ptr<SampleBuffer> sample) override;

    std::optional<std::shared_ptr<SampleBuffer>> dequeue() { return queue_.dequeue(); }
    uint64_t nextSequence = 1; // guarded by State::mutex

private:
    std::weak_ptr<State> state_;
    std::weak_ptr<MemoryStream> stream_;
    SimpleQueue<std::shared_ptr<SampleBuffer>> queue_{1};
};

class MemoryStream final : public CameraExtensionStream {
public:
    MemoryStream(std::weak_ptr<State> state, std::string name, const Uuid& id,
                 CameraStreamDirection direction, CameraStreamClockType clockType,
                 std::weak_ptr<CameraExtensionStreamSource> streamSource)
        : source(std::move(streamSource)), state_(std::move(state)), name_(std::move(name)),
          id_(id), direction_(direction), clockType_(clockType) {}

    const std::string& localizedName() const override { return name_; }
    const Uuid& streamId() const override { return id_; }
    CameraStreamDirection direction() const override { return direction_; }
    CameraStreamClockType clockType() const override { return clockType_; }

    void consumeSampleBuffer(const CameraExtensionClientPtr& client,
                             ConsumeCompletion completion) override {
        const auto state = state_.lock();
        if (!state || !completion)
            return;
        std::lock_guard lock(state->mutex);
        ++state->consumeRequests;
        if (state->failConsumes > 0 || !writerQueues.count(client.get())) {
            state->failConsumes -= state->failConsumes > 0 ? 1 : 0;
            ConsumedSampleBuffer failed;
            failed.error = CameraExtensionError{"The sink request failed."};
            state->complete(std::move(completion), std::move(failed));
            return;
        }
        pending.emplace_back(client, std::move(completion));
        state->serveLocked(*this);
    }
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

    const std::weak_ptr<CameraExtensionStreamSource> source;
    // Guarded by State::mutex.
    std::map<const CameraExtensionClient*, std::shared_ptr<MemoryQueue>> writerQueues;
    std::deque<std::pair<CameraExtensionClientPtr, ConsumeCompletion>> pending;
    std::vector<MemoryCameraService::SentSample> sent;
    std::vector<CameraExtensionScheduledOutput> outputs;

private:
    std::weak_ptr<State> state_;
    std::string name_;
    Uuid id_;
    CameraStreamDirection direction_;
    CameraStreamClockType clockType_;
};

class MemoryDevice final : public CameraExtensionDevice {
public:
    MemoryDevice(std::string name, const Uuid& id, std::optional<std::string> legacyId)
        : name_(std::move(name)), id_(id), legacyId_(std::move(legacyId)) {}
    const std::string& localizedName() const override { return name_; }
    const Uuid& deviceId() const override { return id_; }
    const std::optional<std::string>& legacyDeviceId() const override { return legacyId_; }
    std::optional<CameraExtensionError>
    addStream(const std::shared_ptr<CameraExtensionStream>&) override {
        return std::nullopt;
    }

private:
    std::string name_;
    Uuid id_;
    std::optional<std::string> legacyId_;
};

class MemoryProvider final : public CameraExtensionProvider {
public:
    explicit MemoryProvider(std::weak_ptr<CameraExtensionProviderSource> providerSource)
        : source(std::move(providerSource)) {}
    std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>&) override {
        return std::nullopt;
    }
    const std::weak_ptr<CameraExtensionProviderSource> source;
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

// The stream the service made from this public one.
MemoryStream* memoryStream(const CameraExtensionStream& stream) {
    return const_cast<MemoryStream*>(dynamic_cast<const MemoryStream*>(&stream));
}

} // namespace

void State::serveLocked(MemoryStream& stream) {
    for (auto it = stream.pending.begin(); it != stream.pending.end();) {
        const auto& queue = stream.writerQueues.at(it->first.get());
        auto sample = queue->dequeue();
        if (!sample) {
            ++it;
            continue;
        }
        ConsumedSampleBuffer result;
        result.sampleBuffer = std::move(*sample);
        result.sequenceNumber = queue->nextSequence++;
        complete(std::move(it->second), std::move(result));
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
MemoryCameraService::makeProvider(std::weak_ptr<CameraExtensionProviderSource> source, Executor*) {
    return std::make_shared<MemoryProvider>(std::move(source));
}

std::shared_ptr<CameraExtensionDevice>
MemoryCameraService::makeDevice(std::string localizedName, const Uuid& deviceId,
                                std::optional<std::string> legacyDeviceId,
                                std::weak_ptr<CameraExtensionDeviceSource>) {
    return std::make_shared<MemoryDevice>(std::move(localizedName), deviceId,
                                          std::move(legacyDeviceId));
}

std::shared_ptr<CameraExtensionStream>
MemoryCameraService::makeStream(std::string localizedName, const Uuid& streamId,
                                CameraStreamDirection direction, CameraStreamClockType clockType,
                                std::weak_ptr<CameraExtensionStreamSource> source) {
    auto stream = std::make_shared<MemoryStream>(state_, std::move(localizedName), streamId,
                                                 direction, clockType, std::move(source));
    std::lock_guard lock(state_->mutex);
    state_->streams.push_back(stream);
    return stream;
}

bool MemoryCameraService::startService(const std::shared_ptr<CameraExtensionProvider>& provider,
                                       std::string*) {
    std::lock_guard lock(state_->mutex);
    state_->providerSource = std::static_pointer_cast<MemoryProvider>(provider)->source;
    return true;
}

CameraExtensionClientPtr MemoryCameraService::connectClient(std::string description) {
    std::lock_guard lock(state_->mutex);
    auto client =
        std::make_shared<CameraExtensionClient>(state_->nextClientId++, std::move(description));
    if (auto source = state_->providerSource.lock())
        state_->serviceQueue.post([source, client] { source->connectClient(client); });
    return client;
}

void MemoryCameraService::startClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                                            const CameraExtensionClientPtr& client) {
    if (stream->direction() == CameraStreamDirection::sink)
        writerQueue(stream, client);
    if (auto source = memoryStream(*stream)->source.lock())
        state_->serviceQueue.post([source, client] {
            if (source->authorizedToStartStream(client))
                source->startStream();
        });
}

void MemoryCameraService::stopClientStream(const std::shared_ptr<CameraExtensionStream>& stream,
                                           const CameraExtensionClientPtr&) {
    if (auto source = memoryStream(*stream)->source.lock())
        state_->serviceQueue.post([source] { source->stopStream(); });
}

std::shared_ptr<SinkBufferQueue>
MemoryCameraService::writerQueue(const std::shared_ptr<CameraExtensionStream>& stream,
                                 const CameraExtensionClientPtr& client) {
    MemoryStream* memory = memoryStream(*stream);
    std::lock_guard lock(state_->mutex);
    auto& slot = memory->writerQueues[client.get()];
    if (!slot)
        slot =
            std::make_shared<MemoryQueue>(state_, std::static_pointer_cast<MemoryStream>(stream));
    return slot;
}

bool MemoryCameraService::writeSample(const std::shared_ptr<CameraExtensionStream>& stream,
                                      const CameraExtensionClientPtr& client,
                                      std::shared_ptr<SampleBuffer> sample) {
    return writerQueue(stream, client)->enqueue(std::move(sample));
}

void MemoryCameraService::failNextConsumes(size_t n) {
    std::lock_guard lock(state_->mutex);
    state_->failConsumes = n;
}

size_t MemoryCameraService::pendingConsumeCount() const {
    std::lock_guard lock(state_->mutex);
    size_t count = 0;
    for (const auto& stream : state_->streams)
        count += stream->pending.size();
    return count;
}

size_t MemoryCameraService::consumeRequestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->consumeRequests;
}

std::vector<MemoryCameraService::SentSample>
MemoryCameraService::takeSentSamples(CameraExtensionStream& stream) {
    std::lock_guard lock(state_->mutex);
    return std::exchange(memoryStream(stream)->sent, {});
}

std::vector<CameraExtensionScheduledOutput>
MemoryCameraService::scheduledOutputs(const CameraExtensionStream& stream) const {
    std::lock_guard lock(state_->mutex);
    return memoryStream(stream)->outputs;
}

} // namespace orlenta

#include "tests/testing/camera_service_memory.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <utility>

#include "media/simple_queue.h"

namespace orlenta {

// A sample queue of a fixed capacity that takes nothing once closed, and tells its owner of each
// sample it took.
class MemoryCameraSystem::Queue final : public SinkBufferQueue {
public:
    Queue(int32_t capacity, std::function<void()> taken = {})
        : queue_(static_cast<size_t>(std::max(capacity, 0))), taken_(std::move(taken)) {}
    int32_t count() const override { return static_cast<int32_t>(queue_.count()); }
    int32_t capacity() const override { return static_cast<int32_t>(queue_.capacity()); }
    bool enqueue(std::shared_ptr<SampleBuffer> sample) override {
        if (!open_ || !sample || !queue_.enqueue(std::move(sample)))
            return false;
        if (taken_)
            taken_();
        return true;
    }
    std::optional<std::shared_ptr<SampleBuffer>> dequeue() { return queue_.dequeue(); }
    void close() { open_ = false; }
    uint64_t nextSequence = 1; // for the extension side, under its lock

private:
    SimpleQueue<std::shared_ptr<SampleBuffer>> queue_;
    std::function<void()> taken_;
    std::atomic<bool> open_{true};
};

// --- MemoryCameraSystem ------------------------------------------------------------------------

CameraObjectId MemoryCameraSystem::addPlainDevice(std::optional<std::string> uniqueId,
                                                  std::optional<std::string> name,
                                                  const std::vector<PlainStream>& streams) {
    std::lock_guard lock(mutex_);
    const CameraObjectId id = nextId_++;
    Device& device = devices_[id];
    device = {std::move(uniqueId), std::move(name), {}};
    for (const PlainStream& plain : streams) {
        device.streams.push_back(nextId_);
        Stream& stream = streams_[nextId_++];
        stream.device = id;
        stream.plain = plain;
    }
    notifyLocked();
    return id;
}

void MemoryCameraSystem::removeDevice(CameraObjectId device) {
    std::lock_guard lock(mutex_);
    for (const CameraObjectId stream : devices_[device].streams) {
        if (const auto& queue = streams_[stream].latestQueue)
            queue->close();
        streams_[stream].device = 0;
    }
    devices_.erase(device);
    notifyLocked();
}

void MemoryCameraSystem::notifyLocked() {
    for (const auto& [id, listener] : listeners_)
        listener.first->post(listener.second);
}

void MemoryCameraSystem::setPropertyReadsFail(bool fail) {
    std::lock_guard lock(mutex_);
    readsFail_ = fail;
}

void MemoryCameraSystem::setStreamHidden(CameraObjectId stream, bool hidden) {
    std::lock_guard lock(mutex_);
    streams_[stream].hidden = hidden;
}

int MemoryCameraSystem::startCount(CameraObjectId stream) const {
    std::lock_guard lock(mutex_);
    return streams_.count(stream) ? streams_.at(stream).starts : 0;
}

int MemoryCameraSystem::stopCount(CameraObjectId stream) const {
    std::lock_guard lock(mutex_);
    return streams_.count(stream) ? streams_.at(stream).stops : 0;
}

std::vector<std::shared_ptr<SampleBuffer>> MemoryCameraSystem::takeQueued(CameraObjectId stream) {
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = streams_[stream].latestQueue;
    }
    std::vector<std::shared_ptr<SampleBuffer>> samples;
    while (auto sample = queue ? queue->dequeue() : std::nullopt)
        samples.push_back(std::move(*sample));
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
    return readsFail_ || !devices_.count(device) ? std::nullopt : devices_.at(device).uniqueId;
}

std::optional<std::string> MemoryCameraSystem::deviceName(CameraObjectId device) const {
    std::lock_guard lock(mutex_);
    return readsFail_ || !devices_.count(device) ? std::nullopt : devices_.at(device).name;
}

std::vector<CameraObjectId> MemoryCameraSystem::deviceStreams(CameraObjectId device) const {
    std::lock_guard lock(mutex_);
    if (readsFail_ || !devices_.count(device))
        return {};
    std::vector<CameraObjectId> streams = devices_.at(device).streams;
    std::erase_if(streams, [&](CameraObjectId s) { return streams_.at(s).hidden; });
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
    Stream& s = streams_[stream];
    if (s.plain.copyBufferQueueStatus != kCameraStatusOk)
        return {s.plain.copyBufferQueueStatus, nullptr};
    s.latestQueue = std::make_shared<Queue>(s.plain.queueCapacity);
    return {kCameraStatusOk, s.latestQueue};
}

CameraStatus MemoryCameraSystem::startStream(CameraObjectId device, CameraObjectId stream) {
    std::lock_guard lock(mutex_);
    Stream& s = streams_[stream];
    ++s.starts;
    return s.device != device ? kCameraStatusUnknownObject : s.plain.startStatus;
}

CameraStatus MemoryCameraSystem::stopStream(CameraObjectId device, CameraObjectId stream) {
    std::lock_guard lock(mutex_);
    Stream& s = streams_[stream];
    ++s.stops;
    return s.device != device ? kCameraStatusUnknownObject : kCameraStatusOk;
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
    std::vector<std::shared_ptr<MemoryStream>> streams;
    size_t failConsumes = 0;
    size_t consumeRequests = 0;

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

using MemoryQueue = MemoryCameraSystem::Queue;

class MemoryStream final : public CameraExtensionStream {
public:
    MemoryStream(std::weak_ptr<State> state, std::string name, const Uuid& id,
                 CameraStreamDirection direction, CameraStreamClockType clockType,
                 std::weak_ptr<CameraExtensionStreamSource>)
        : state_(std::move(state)), name_(std::move(name)), id_(id), direction_(direction),
          clockType_(clockType) {}

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
    std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>&) override {
        return std::nullopt;
    }
};

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
MemoryCameraService::makeProvider(std::weak_ptr<CameraExtensionProviderSource>, Executor*) {
    return std::make_shared<MemoryProvider>();
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

bool MemoryCameraService::startService(const std::shared_ptr<CameraExtensionProvider>&,
                                       std::string*) {
    return true;
}

std::shared_ptr<SinkBufferQueue>
MemoryCameraService::writerQueue(const std::shared_ptr<CameraExtensionStream>& stream,
                                 const CameraExtensionClientPtr& client) {
    MemoryStream* memory = memoryStream(*stream);
    std::lock_guard lock(state_->mutex);
    auto& slot = memory->writerQueues[client.get()];
    if (!slot)
        slot = std::make_shared<MemoryQueue>(
            1, [state = std::weak_ptr<State>(state_),
                stream = std::weak_ptr<CameraExtensionStream>(stream)] {
                const auto held = state.lock();
                const auto writes = stream.lock();
                if (held && writes) {
                    std::lock_guard served(held->mutex);
                    held->serveLocked(*memoryStream(*writes));
                }
            });
    return slot;
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

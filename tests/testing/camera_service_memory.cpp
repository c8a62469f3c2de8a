#include "tests/testing/camera_service_memory.h"

#include <deque>
#include <utility>

namespace orlenta {

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

    void complete(ConsumeCompletion completion, ConsumedSampleBuffer result) {
        serviceQueue.post([completion = std::move(completion), result = std::move(result)] {
            completion(result);
        });
    }
};

namespace {

using State = MemoryCameraService::State;

class MemoryStream final : public CameraExtensionStream {
public:
    MemoryStream(std::weak_ptr<State> state, std::string name, const Uuid& id,
                 CameraStreamDirection direction, CameraStreamClockType clockType)
        : state_(std::move(state)), name_(std::move(name)), id_(id), direction_(direction),
          clockType_(clockType) {}

    const std::string& localizedName() const override { return name_; }
    const Uuid& streamId() const override { return id_; }
    CameraStreamDirection direction() const override { return direction_; }
    CameraStreamClockType clockType() const override { return clockType_; }

    void consumeSampleBuffer(const CameraExtensionClientPtr& client,
                             ConsumeCompletion completion) override {
        if (!completion)
            return;
        withState([&](State& state) {
            ++state.consumeRequests;
            if (state.failConsumes == 0 && writerQueues.count(client.get())) {
                pending.emplace_back(client, std::move(completion));
                return serveLocked(state);
            }
            state.failConsumes -= state.failConsumes > 0 ? 1 : 0;
            ConsumedSampleBuffer failed;
            failed.error = CameraExtensionError{"The sink request failed."};
            state.complete(std::move(completion), std::move(failed));
        });
    }
    void notifyScheduledOutputChanged(const CameraExtensionScheduledOutput& output) override {
        withState([&](State&) { outputs.push_back(output); });
    }
    void sendSampleBuffer(std::shared_ptr<SampleBuffer> sampleBuffer, uint32_t discontinuity,
                          uint64_t hostTimeInNanoseconds) override {
        withState([&](State&) {
            sent.push_back({std::move(sampleBuffer), discontinuity, hostTimeInNanoseconds});
        });
    }

    // Runs f under the service's lock while the service exists.
    template <typename F> void withState(F f) {
        if (const auto state = state_.lock()) {
            std::lock_guard lock(state->mutex);
            f(*state);
        }
    }
    // Completes the waiting sink requests from their writers' queues.
    void serveLocked(State& state) {
        for (auto it = pending.begin(); it != pending.end();) {
            const auto& queue = writerQueues.at(it->first.get());
            auto sample = queue->dequeue();
            if (!sample) {
                ++it;
                continue;
            }
            ConsumedSampleBuffer result;
            result.sampleBuffer = std::move(*sample);
            result.sequenceNumber = queue->nextSequence++;
            state.complete(std::move(it->second), std::move(result));
            it = pending.erase(it);
        }
    }

    // Guarded by State::mutex.
    std::map<const CameraExtensionClient*, std::shared_ptr<MemorySinkQueue>> writerQueues;
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

struct MemoryProvider final : CameraExtensionProvider {
    std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>&) override {
        return std::nullopt;
    }
};

// The stream the service made from this public one.
MemoryStream& memoryStream(const CameraExtensionStream& stream) {
    return const_cast<MemoryStream&>(dynamic_cast<const MemoryStream&>(stream));
}

} // namespace

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
                                std::weak_ptr<CameraExtensionStreamSource>) {
    auto stream = std::make_shared<MemoryStream>(state_, std::move(localizedName), streamId,
                                                 direction, clockType);
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
    std::lock_guard lock(state_->mutex);
    auto& slot = memoryStream(*stream).writerQueues[client.get()];
    if (!slot)
        slot = std::make_shared<MemorySinkQueue>(1, [stream = std::weak_ptr(stream)] {
            if (const auto writes = stream.lock()) {
                MemoryStream& memory = memoryStream(*writes);
                memory.withState([&](State& state) { memory.serveLocked(state); });
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
    return std::exchange(memoryStream(stream).sent, {});
}

std::vector<CameraExtensionScheduledOutput>
MemoryCameraService::scheduledOutputs(const CameraExtensionStream& stream) const {
    std::lock_guard lock(state_->mutex);
    return memoryStream(stream).outputs;
}

} // namespace orlenta

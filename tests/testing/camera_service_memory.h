// In-memory halves of camera_service.h, for unit tests of the logic above them: the system side
// (MemoryCameraSystem, for the app's sink connection) and the extension side
// (MemoryCameraService, for the daemon's roles and relay).
//
// Threads: every member may be called from any thread. Nothing is called back synchronously:
// device-list listeners run on their own executors; the extension side's consume completions run
// on the service queue given to create(). With a ManualExecutor a test decides when they run. The
// extension side never calls the daemon's roles: tests call them as the service would.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera_service/camera_service.h"
#include "media/simple_queue.h"

namespace orlenta {

// A sink stream's queue of a fixed capacity (also the extension side's writer queues): it takes
// nothing once closed, and tells its owner of each sample it took.
class MemorySinkQueue final : public SinkBufferQueue {
public:
    explicit MemorySinkQueue(int32_t capacity, std::function<void()> taken = {})
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

// Camera devices that no daemon stands behind: frames written to a sink stream's queue stay there
// until takeQueued().
class MemoryCameraSystem final : public CameraSystem {
public:
    // Every failure the system side can report, per stream.
    struct PlainStream {
        uint32_t direction = kSystemStreamDirectionSink;
        CameraStatus copyBufferQueueStatus = kCameraStatusOk;
        CameraStatus startStatus = kCameraStatusOk;
        int32_t queueCapacity = 1;
        bool directionUnreadable = false;
    };
    // Absent identifier or name make those reads fail. Notifies the listeners; answers the
    // device's object id.
    CameraObjectId addPlainDevice(std::optional<std::string> uniqueId,
                                  std::optional<std::string> name,
                                  const std::vector<PlainStream>& streams) {
        std::lock_guard lock(mutex_);
        const CameraObjectId id = nextId_++;
        devices_[id] = {std::move(uniqueId), std::move(name), {}};
        for (const PlainStream& plain : streams) {
            devices_[id].streams.push_back(nextId_);
            streams_[nextId_++] = {id, plain};
        }
        notifyLocked();
        return id;
    }
    // As when the daemon goes away: the device's queues take nothing more. Notifies the listeners.
    void removeDevice(CameraObjectId device) {
        std::lock_guard lock(mutex_);
        for (const CameraObjectId stream : devices_[device].streams) {
            if (const auto& queue = streams_[stream].latestQueue)
                queue->close();
            streams_[stream].device = 0;
        }
        devices_.erase(device);
        notifyLocked();
    }
    // Makes every property read fail (answer absent or empty).
    void setPropertyReadsFail(bool fail) {
        std::lock_guard lock(mutex_);
        readsFail_ = fail;
    }
    // How often start and stop were called for a stream (stops also once it is gone).
    int startCount(CameraObjectId stream) const {
        std::lock_guard lock(mutex_);
        return streams_.count(stream) ? streams_.at(stream).starts : 0;
    }
    int stopCount(CameraObjectId stream) const {
        std::lock_guard lock(mutex_);
        return streams_.count(stream) ? streams_.at(stream).stops : 0;
    }
    // Takes the samples waiting in the stream's latest queue, oldest first.
    std::vector<std::shared_ptr<SampleBuffer>> takeQueued(CameraObjectId stream) {
        std::unique_lock lock(mutex_);
        const std::shared_ptr<MemorySinkQueue> queue = streams_[stream].latestQueue;
        lock.unlock();
        std::vector<std::shared_ptr<SampleBuffer>> samples;
        while (auto sample = queue ? queue->dequeue() : std::nullopt)
            samples.push_back(std::move(*sample));
        return samples;
    }

    std::vector<CameraObjectId> devices() const override {
        std::lock_guard lock(mutex_);
        std::vector<CameraObjectId> ids;
        for (const auto& [id, device] : devices_)
            if (!readsFail_)
                ids.push_back(id);
        return ids;
    }
    std::optional<std::string> deviceUniqueId(CameraObjectId device) const override {
        std::lock_guard lock(mutex_);
        return readsFail_ || !devices_.count(device) ? std::nullopt : devices_.at(device).uniqueId;
    }
    std::optional<std::string> deviceName(CameraObjectId device) const override {
        std::lock_guard lock(mutex_);
        return readsFail_ || !devices_.count(device) ? std::nullopt : devices_.at(device).name;
    }
    std::vector<CameraObjectId> deviceStreams(CameraObjectId device) const override {
        std::lock_guard lock(mutex_);
        if (readsFail_ || !devices_.count(device))
            return {};
        return devices_.at(device).streams;
    }
    std::optional<uint32_t> streamDirection(CameraObjectId stream) const override {
        std::lock_guard lock(mutex_);
        const auto it = streams_.find(stream);
        if (readsFail_ || it == streams_.end() || it->second.plain.directionUnreadable)
            return std::nullopt;
        return it->second.plain.direction;
    }
    BufferQueueResult copyBufferQueue(CameraObjectId stream) override {
        std::lock_guard lock(mutex_);
        Stream& s = streams_[stream];
        if (s.plain.copyBufferQueueStatus != kCameraStatusOk)
            return {s.plain.copyBufferQueueStatus, nullptr};
        s.latestQueue = std::make_shared<MemorySinkQueue>(s.plain.queueCapacity);
        return {kCameraStatusOk, s.latestQueue};
    }
    CameraStatus startStream(CameraObjectId device, CameraObjectId stream) override {
        std::lock_guard lock(mutex_);
        Stream& s = streams_[stream];
        ++s.starts;
        return s.device != device ? kCameraStatusUnknownObject : s.plain.startStatus;
    }
    CameraStatus stopStream(CameraObjectId device, CameraObjectId stream) override {
        std::lock_guard lock(mutex_);
        Stream& s = streams_[stream];
        ++s.stops;
        return s.device != device ? kCameraStatusUnknownObject : kCameraStatusOk;
    }
    ListenerId addDeviceListListener(Executor& executor, Task listener) override {
        std::lock_guard lock(mutex_);
        listeners_.emplace(nextListener_, std::pair{&executor, std::move(listener)});
        return nextListener_++;
    }
    void removeDeviceListListener(ListenerId id) override {
        std::lock_guard lock(mutex_);
        listeners_.erase(id);
    }

private:
    struct Stream {
        CameraObjectId device = 0; // 0 once its device is gone
        PlainStream plain{};
        std::shared_ptr<MemorySinkQueue> latestQueue{};
        int starts = 0;
        int stops = 0;
    };
    struct Device {
        std::optional<std::string> uniqueId;
        std::optional<std::string> name;
        std::vector<CameraObjectId> streams;
    };
    void notifyLocked() {
        for (const auto& [id, listener] : listeners_)
            listener.first->post(listener.second);
    }

    mutable std::mutex mutex_;
    CameraObjectId nextId_ = kCameraSystemObject + 1;
    std::map<CameraObjectId, Device> devices_;
    std::map<CameraObjectId, Stream> streams_;
    std::map<ListenerId, std::pair<Executor*, Task>> listeners_;
    ListenerId nextListener_ = 1;
    bool readsFail_ = false;
};

// The extension side's objects, beside the service below.
namespace memory_camera_service {

class Stream;

struct SentSample {
    std::shared_ptr<SampleBuffer> sampleBuffer;
    uint32_t discontinuity = 0;
    uint64_t hostTimeInNanoseconds = 0;
};

// What the service shares with its streams; every member but the queue under the mutex.
struct State {
    explicit State(Executor& queue) : serviceQueue(queue) {}
    Executor& serviceQueue;
    std::mutex mutex;
    std::vector<std::shared_ptr<Stream>> streams;
    size_t failConsumes = 0;
    size_t consumeRequests = 0;

    void complete(ConsumeCompletion completion, ConsumedSampleBuffer result) {
        serviceQueue.post([completion = std::move(completion), result = std::move(result)] {
            completion(result);
        });
    }
};

class Stream final : public CameraExtensionStream {
public:
    Stream(std::weak_ptr<State> state, std::string name, const Uuid& id,
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
    // The stream the service made from this public one.
    static Stream& of(const CameraExtensionStream& stream) {
        return const_cast<Stream&>(dynamic_cast<const Stream&>(stream));
    }

    // Guarded by State::mutex.
    std::map<const CameraExtensionClient*, std::shared_ptr<MemorySinkQueue>> writerQueues;
    std::deque<std::pair<CameraExtensionClientPtr, ConsumeCompletion>> pending;
    std::vector<SentSample> sent;
    std::vector<CameraExtensionScheduledOutput> outputs;

private:
    std::weak_ptr<State> state_;
    std::string name_;
    Uuid id_;
    CameraStreamDirection direction_;
    CameraStreamClockType clockType_;
};

class Device final : public CameraExtensionDevice {
public:
    Device(std::string name, const Uuid& id, std::optional<std::string> legacyId)
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

struct Provider final : CameraExtensionProvider {
    std::optional<CameraExtensionError>
    addDevice(const std::shared_ptr<CameraExtensionDevice>&) override {
        return std::nullopt;
    }
};

} // namespace memory_camera_service

// The framework objects the daemon publishes, and test controls that act as the writers of its
// sink stream.
//
// Ownership: create() answers a shared service; the objects it hands out hold it weakly and go
// quiet once it is gone.
class MemoryCameraService final : public CameraExtensionService {
public:
    using SentSample = memory_camera_service::SentSample;

    // serviceQueue must outlive the service.
    static std::shared_ptr<MemoryCameraService> create(Executor& serviceQueue) {
        return std::shared_ptr<MemoryCameraService>(new MemoryCameraService(serviceQueue));
    }
    MemoryCameraService(const MemoryCameraService&) = delete;
    MemoryCameraService& operator=(const MemoryCameraService&) = delete;

    std::shared_ptr<CameraExtensionProvider>
    makeProvider(std::weak_ptr<CameraExtensionProviderSource>, Executor*) override {
        return std::make_shared<memory_camera_service::Provider>();
    }
    std::shared_ptr<CameraExtensionDevice>
    makeDevice(std::string localizedName, const Uuid& deviceId,
               std::optional<std::string> legacyDeviceId,
               std::weak_ptr<CameraExtensionDeviceSource>) override {
        return std::make_shared<memory_camera_service::Device>(std::move(localizedName), deviceId,
                                                               std::move(legacyDeviceId));
    }
    std::shared_ptr<CameraExtensionStream>
    makeStream(std::string localizedName, const Uuid& streamId, CameraStreamDirection direction,
               CameraStreamClockType clockType,
               std::weak_ptr<CameraExtensionStreamSource>) override {
        auto stream = std::make_shared<Stream>(state_, std::move(localizedName), streamId,
                                               direction, clockType);
        std::lock_guard lock(state_->mutex);
        state_->streams.push_back(stream);
        return stream;
    }
    bool startService(const std::shared_ptr<CameraExtensionProvider>&, std::string*) override {
        return true;
    }

    // The client's own queue into a sink stream (of one sample), made on first use. A sink request
    // of a client that has none fails.
    std::shared_ptr<SinkBufferQueue>
    writerQueue(const std::shared_ptr<CameraExtensionStream>& stream,
                const CameraExtensionClientPtr& client) {
        std::lock_guard lock(state_->mutex);
        auto& slot = Stream::of(*stream).writerQueues[client.get()];
        if (!slot)
            slot = std::make_shared<MemorySinkQueue>(1, [stream = std::weak_ptr(stream)] {
                if (const auto writes = stream.lock()) {
                    Stream& memory = Stream::of(*writes);
                    memory.withState([&](State& state) { memory.serveLocked(state); });
                }
            });
        return slot;
    }
    // The next n sink requests (of any stream) complete with an error instead of a buffer.
    void failNextConsumes(size_t n) {
        std::lock_guard lock(state_->mutex);
        state_->failConsumes = n;
    }
    // Sink requests waiting for a buffer, and made so far.
    size_t pendingConsumeCount() const {
        std::lock_guard lock(state_->mutex);
        size_t count = 0;
        for (const auto& stream : state_->streams)
            count += stream->pending.size();
        return count;
    }
    size_t consumeRequestCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->consumeRequests;
    }

    // What was sent on a source stream, oldest first; the record empties.
    std::vector<SentSample> takeSentSamples(CameraExtensionStream& stream) {
        std::lock_guard lock(state_->mutex);
        return std::exchange(Stream::of(stream).sent, {});
    }
    std::vector<CameraExtensionScheduledOutput>
    scheduledOutputs(const CameraExtensionStream& stream) const {
        std::lock_guard lock(state_->mutex);
        return Stream::of(stream).outputs;
    }

private:
    using State = memory_camera_service::State;
    using Stream = memory_camera_service::Stream;
    explicit MemoryCameraService(Executor& serviceQueue)
        : state_(std::make_shared<State>(serviceQueue)) {}
    std::shared_ptr<State> state_;
};

} // namespace orlenta

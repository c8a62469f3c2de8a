// An in-memory capture system for tests of the logic above it: devices are plugged in
// by hand, the access status and the answer to an access request are scripted, and frames are fed
// into sessions one by one.
//
// Threads: every member may be called from any thread. Device observers run on the main executor
// given at creation (with a ManualExecutor, when the test runs it). Sessions deliver frames on the
// queue given to setFrameHandler, each one the test feeds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/capture/capture.h"

namespace orlenta {

class MemoryCaptureSession;

class MemoryCaptureSystem final : public CaptureSystem,
                                  public std::enable_shared_from_this<MemoryCaptureSystem> {
public:
    // mainExecutor must outlive the system.
    static std::shared_ptr<MemoryCaptureSystem> create(Executor& mainExecutor) {
        return std::shared_ptr<MemoryCaptureSystem>(new MemoryCaptureSystem(mainExecutor));
    }

    // Appends a device (or replaces the one with the same uniqueID) and notifies "connected".
    void plug(const CaptureDevice& device) {
        {
            std::lock_guard lock(mutex_);
            const auto same = std::find_if(devices_.begin(), devices_.end(),
                                           [&](auto& d) { return d.uniqueID == device.uniqueID; });
            if (same != devices_.end())
                *same = device;
            else
                devices_.push_back(device);
        }
        main_.post([weak = weak_from_this(), device] {
            const auto self = weak.lock();
            std::vector<DeviceObserver> observers;
            if (self) {
                std::lock_guard lock(self->mutex_);
                observers = self->observers_;
            }
            for (const DeviceObserver& observer : observers)
                if (observer)
                    observer(DeviceEvent::connected, device);
        });
    }
    void setAuthorizationStatus(AuthorizationStatus status) {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    // requestAccess() keeps its handler; nothing answers it (Linux asks no one).
    size_t pendingAccessRequests() const {
        std::lock_guard lock(mutex_);
        return pendingRequests_.size();
    }
    // Sessions made so far, oldest first.
    std::vector<std::shared_ptr<MemoryCaptureSession>> sessions() const {
        std::lock_guard lock(mutex_);
        return sessions_;
    }

    std::vector<CaptureDevice> devices() const override {
        std::lock_guard lock(mutex_);
        return devices_;
    }
    std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) const override {
        std::lock_guard lock(mutex_);
        for (const CaptureDevice& device : devices_)
            if (device.uniqueID == uniqueID)
                return device;
        return std::nullopt;
    }
    size_t addDeviceObserver(DeviceObserver observer) override {
        std::lock_guard lock(mutex_);
        observers_.push_back(std::move(observer));
        return observers_.size() - 1;
    }
    void removeDeviceObserver(size_t token) override {
        std::lock_guard lock(mutex_);
        if (token < observers_.size())
            observers_[token] = nullptr;
    }
    AuthorizationStatus authorizationStatus() override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    void requestAccess(AccessHandler handler) override {
        std::lock_guard lock(mutex_);
        if (handler)
            pendingRequests_.push_back(std::move(handler));
    }
    std::shared_ptr<CaptureSession> makeSession() override;

private:
    explicit MemoryCaptureSystem(Executor& mainExecutor) : main_(mainExecutor) {}

    Executor& main_;
    mutable std::mutex mutex_;
    std::vector<CaptureDevice> devices_;
    AuthorizationStatus status_ = AuthorizationStatus::authorized;
    std::vector<AccessHandler> pendingRequests_;
    std::vector<DeviceObserver> observers_;
    std::vector<std::shared_ptr<MemoryCaptureSession>> sessions_;
};

// What a test sees of a session: every input it was given, its running state, and a way to feed
// frames as if the camera of the current input had delivered them.
class MemoryCaptureSession final : public CaptureSession {
public:
    explicit MemoryCaptureSession(std::weak_ptr<MemoryCaptureSystem> system)
        : system_(std::move(system)) {}

    // Delivers a frame to the handler if the session runs with an input whose device is still
    // plugged. False when it was not delivered (stopped, or no input).
    bool deliver(std::shared_ptr<SampleBuffer> sample) {
        std::unique_lock lock(mutex_);
        if (!running_ || !input_ || !queue_ || !handler_)
            return false;
        const std::string input = *input_;
        SerialQueue* queue = queue_;
        FrameHandler handler = handler_;
        lock.unlock();
        const auto system = system_.lock();
        if (!system || !system->deviceWithUniqueID(input))
            return false;
        queue->async([handler, sample] { handler(sample); });
        return true;
    }

    // uniqueIDs given to setInput, in order, also those that failed to open.
    std::vector<std::string> inputLog() const {
        std::lock_guard lock(mutex_);
        return inputLog_;
    }
    int startCount() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }

    void setFrameHandler(FrameHandler handler, SerialQueue* queue) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        queue_ = handler_ ? queue : nullptr;
    }
    void startRunning() override {
        std::lock_guard lock(mutex_);
        starts_ += running_ ? 0 : 1;
        running_ = true;
    }
    void stopRunning() override {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    bool isRunning() const override {
        std::lock_guard lock(mutex_);
        return running_;
    }
    bool setInput(const CaptureDevice& device) override {
        const auto system = system_.lock();
        const bool openable = system && system->deviceWithUniqueID(device.uniqueID);
        std::lock_guard lock(mutex_);
        inputLog_.push_back(device.uniqueID);
        input_ = openable ? std::optional(device.uniqueID) : std::nullopt;
        return openable;
    }
    void removeInput() override {
        std::lock_guard lock(mutex_);
        input_.reset();
    }
    std::optional<std::string> inputDeviceID() const override {
        std::lock_guard lock(mutex_);
        return input_;
    }

private:
    std::weak_ptr<MemoryCaptureSystem> system_;
    mutable std::mutex mutex_;
    FrameHandler handler_;
    SerialQueue* queue_ = nullptr;
    bool running_ = false;
    std::optional<std::string> input_;
    std::vector<std::string> inputLog_;
    int starts_ = 0;
};

inline std::shared_ptr<CaptureSession> MemoryCaptureSystem::makeSession() {
    auto session = std::make_shared<MemoryCaptureSession>(weak_from_this());
    std::lock_guard lock(mutex_);
    sessions_.push_back(session);
    return session;
}

} // namespace orlenta

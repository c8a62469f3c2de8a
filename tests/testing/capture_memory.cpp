#include "tests/testing/capture_memory.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace orlenta {

std::shared_ptr<MemoryCaptureSystem> MemoryCaptureSystem::create(Executor& mainExecutor) {
    return std::shared_ptr<MemoryCaptureSystem>(new MemoryCaptureSystem(mainExecutor));
}

MemoryCaptureSystem::MemoryCaptureSystem(Executor& mainExecutor) : main_(mainExecutor) {}

MemoryCaptureSystem::~MemoryCaptureSystem() = default;

void MemoryCaptureSystem::plug(const CaptureDevice& device) {
    {
        std::lock_guard lock(mutex_);
        auto same = std::find_if(devices_.begin(), devices_.end(), [&](const CaptureDevice& d) {
            return d.uniqueID == device.uniqueID;
        });
        if (same != devices_.end())
            *same = device;
        else
            devices_.push_back(device);
    }
    notify(DeviceEvent::connected, device);
}

void MemoryCaptureSystem::notify(DeviceEvent event, const CaptureDevice& device) {
    std::weak_ptr<MemoryCaptureSystem> weak = weak_from_this();
    main_.post([weak, event, device] {
        auto self = weak.lock();
        if (!self)
            return;
        std::vector<DeviceObserver> observers;
        {
            std::lock_guard lock(self->mutex_);
            observers = self->observers_;
        }
        for (const DeviceObserver& observer : observers)
            if (observer)
                observer(event, device);
    });
}

void MemoryCaptureSystem::setAuthorizationStatus(AuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

size_t MemoryCaptureSystem::pendingAccessRequests() const {
    std::lock_guard lock(mutex_);
    return pendingRequests_.size();
}

std::vector<std::shared_ptr<MemoryCaptureSession>> MemoryCaptureSystem::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

std::vector<CaptureDevice> MemoryCaptureSystem::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::optional<CaptureDevice>
MemoryCaptureSystem::deviceWithUniqueID(const std::string& uniqueID) const {
    std::lock_guard lock(mutex_);
    for (const CaptureDevice& device : devices_)
        if (device.uniqueID == uniqueID)
            return device;
    return std::nullopt;
}

size_t MemoryCaptureSystem::addDeviceObserver(DeviceObserver observer) {
    std::lock_guard lock(mutex_);
    observers_.push_back(std::move(observer));
    return observers_.size() - 1;
}

void MemoryCaptureSystem::removeDeviceObserver(size_t token) {
    std::lock_guard lock(mutex_);
    if (token < observers_.size())
        observers_[token] = nullptr;
}

AuthorizationStatus MemoryCaptureSystem::authorizationStatus() {
    std::lock_guard lock(mutex_);
    return status_;
}

void MemoryCaptureSystem::requestAccess(AccessHandler handler) {
    if (!handler)
        return;
    std::lock_guard lock(mutex_);
    pendingRequests_.push_back(std::move(handler));
}

std::shared_ptr<CaptureSession> MemoryCaptureSystem::makeSession() {
    auto session = std::make_shared<MemoryCaptureSession>(weak_from_this());
    std::lock_guard lock(mutex_);
    sessions_.push_back(session);
    return session;
}

bool MemoryCaptureSystem::canOpen(const std::string& uniqueID) const {
    std::lock_guard lock(mutex_);
    return std::any_of(devices_.begin(), devices_.end(),
                       [&](const CaptureDevice& d) { return d.uniqueID == uniqueID; });
}

// --- session ------------------------------------------------------------------------------------

MemoryCaptureSession::MemoryCaptureSession(std::weak_ptr<MemoryCaptureSystem> system)
    : system_(std::move(system)) {}

bool MemoryCaptureSession::deliver(std::shared_ptr<SampleBuffer> sample) {
    std::optional<std::string> input;
    FrameHandler handler;
    SerialQueue* queue = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || !input_ || !queue_ || !handler_)
            return false;
        std::tie(input, handler, queue) = std::tuple(input_, handler_, queue_);
    }
    auto system = system_.lock();
    if (!system || !system->canOpen(*input))
        return false;
    queue->async([handler, sample] { handler(sample); });
    return true;
}

std::vector<std::string> MemoryCaptureSession::inputLog() const {
    std::lock_guard lock(mutex_);
    return inputLog_;
}

int MemoryCaptureSession::startCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

void MemoryCaptureSession::setFrameHandler(FrameHandler handler, SerialQueue* queue) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    queue_ = handler_ ? queue : nullptr;
}

void MemoryCaptureSession::startRunning() {
    std::lock_guard lock(mutex_);
    if (!running_)
        ++starts_;
    running_ = true;
}

void MemoryCaptureSession::stopRunning() {
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool MemoryCaptureSession::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool MemoryCaptureSession::setInput(const CaptureDevice& device) {
    auto system = system_.lock();
    const bool openable = system && system->canOpen(device.uniqueID);
    std::lock_guard lock(mutex_);
    inputLog_.push_back(device.uniqueID);
    if (openable)
        input_ = device.uniqueID;
    else
        input_.reset();
    return openable;
}

void MemoryCaptureSession::removeInput() {
    std::lock_guard lock(mutex_);
    input_.reset();
}

std::optional<std::string> MemoryCaptureSession::inputDeviceID() const {
    std::lock_guard lock(mutex_);
    return input_;
}

} // namespace orlenta

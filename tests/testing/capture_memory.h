// An in-memory capture system for tests of the logic above it: devices are plugged in
// by hand, the access status and the answer to an access request are scripted, and frames are fed
// into sessions one by one.
//
// Threads: every member may be called from any thread. Device observers run on the main executor
// given at creation (with a ManualExecutor, when the test runs it). Sessions deliver frames on the
// queue given to setFrameHandler, each one the test feeds.
#pragma once

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
    static std::shared_ptr<MemoryCaptureSystem> create(Executor& mainExecutor);
    ~MemoryCaptureSystem() override;

    // --- scripting ----------------------------------------------------------------------------
    // Appends a device (or replaces the one with the same uniqueID) and notifies "connected".
    void plug(const CaptureDevice& device);
    void setAuthorizationStatus(AuthorizationStatus status);
    // requestAccess() keeps its handler; nothing answers it (Linux asks no one).
    size_t pendingAccessRequests() const;
    // Sessions made so far, oldest first.
    std::vector<std::shared_ptr<MemoryCaptureSession>> sessions() const;

    // --- CaptureSystem ------------------------------------------------------------------------
    std::vector<CaptureDevice> devices() const override;
    std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) const override;
    size_t addDeviceObserver(DeviceObserver observer) override;
    void removeDeviceObserver(size_t token) override;
    AuthorizationStatus authorizationStatus() override;
    void requestAccess(AccessHandler handler) override;
    std::shared_ptr<CaptureSession> makeSession() override;

    // For sessions: whether the device is plugged in.
    bool canOpen(const std::string& uniqueID) const;

private:
    explicit MemoryCaptureSystem(Executor& mainExecutor);
    void notify(DeviceEvent event, const CaptureDevice& device);

    Executor& main_;
    mutable std::mutex mutex_;
    std::vector<CaptureDevice> devices_;
    AuthorizationStatus status_ = AuthorizationStatus::authorized;
    std::vector<AccessHandler> pendingRequests_;
    // Main thread only.
    std::vector<DeviceObserver> observers_;
    std::vector<std::shared_ptr<MemoryCaptureSession>> sessions_;
};

// What a test sees of a session: every input it was given, its running state, and a way to feed
// frames as if the camera of the current input had delivered them.
class MemoryCaptureSession final : public CaptureSession {
public:
    explicit MemoryCaptureSession(std::weak_ptr<MemoryCaptureSystem> system);

    // Delivers a frame to the handler if the session runs with an input whose device is still
    // plugged. False when it was not delivered (stopped, or no input).
    bool deliver(std::shared_ptr<SampleBuffer> sample);

    // uniqueIDs given to setInput, in order, also those that failed to open.
    std::vector<std::string> inputLog() const;
    int startCount() const;

    void setFrameHandler(FrameHandler handler, SerialQueue* queue) override;
    void startRunning() override;
    void stopRunning() override;
    bool isRunning() const override;
    bool setInput(const CaptureDevice& device) override;
    void removeInput() override;
    std::optional<std::string> inputDeviceID() const override;

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

} // namespace orlenta

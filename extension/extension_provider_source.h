// The daemon's provider: the root object the camera service talks to. It makes the one virtual
// camera device (ExtensionDeviceSource) and hands it to the service.
//
// Ownership: the process entry keeps the provider source for the life of the process. It owns
// the framework provider, the device source and the timer queue; the device source is released
// before the timer queue, so the queue's thread is never joined from one of its own closures.
//
// Threads: made on the main thread; the service then calls the role members on its client queue.
#pragma once

#include <memory>

#include "camera_service/camera_service.h"
#include "extension/extension_device_source.h"
#include "extension/timer_queue.h"

namespace orlenta {

class ExtensionProviderSource final : public CameraExtensionProviderSource,
                                      public std::enable_shared_from_this<ExtensionProviderSource> {
public:
    // clientQueue: where the service calls the roles; nullptr lets it choose. Null when the
    // environment lacks the service or the timer queue. A device the provider refuses is logged
    // ("Could not add device: ...") and the provider is returned all the same.
    static std::shared_ptr<ExtensionProviderSource>
    create(ExtensionDeviceSource::Environment environment, Executor* clientQueue);
    ~ExtensionProviderSource() override;
    ExtensionProviderSource(const ExtensionProviderSource&) = delete;
    ExtensionProviderSource& operator=(const ExtensionProviderSource&) = delete;

    const std::shared_ptr<CameraExtensionProvider>& provider() const { return provider_; }
    const std::shared_ptr<ExtensionDeviceSource>& deviceSource() const { return deviceSource_; }

    // Every client is accepted; nothing is kept about it.
    bool connectClient(const CameraExtensionClientPtr& client) override;
    void disconnectClient(const CameraExtensionClientPtr& client) override;
    CameraExtensionPropertySet availableProperties() const override;
    CameraExtensionProviderProperties
    providerProperties(const CameraExtensionPropertySet& properties) const override;
    // Ignored; reports success.
    bool setProviderProperties(const CameraExtensionProviderProperties& properties) override;

private:
    explicit ExtensionProviderSource(std::shared_ptr<TimerQueue> timerQueue);

    // Declared first so that it is destroyed last.
    std::shared_ptr<TimerQueue> timerQueue_;
    std::shared_ptr<CameraExtensionProvider> provider_;
    std::shared_ptr<ExtensionDeviceSource> deviceSource_;
};

} // namespace orlenta

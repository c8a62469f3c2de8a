#include "extension/extension_provider_source.h"

#include <string>
#include <utility>

#include "camera_service/virtual_camera.h"
#include "extension/extension_identity.h"
#include "extension/extension_log.h"

namespace orlenta {

ExtensionProviderSource::ExtensionProviderSource(std::shared_ptr<TimerQueue> timerQueue)
    : timerQueue_(std::move(timerQueue)) {}

ExtensionProviderSource::~ExtensionProviderSource() = default;

std::shared_ptr<ExtensionProviderSource>
ExtensionProviderSource::create(ExtensionDeviceSource::Environment environment,
                                Executor* clientQueue) {
    if (!environment.service || !environment.timerQueue)
        return nullptr;
    std::shared_ptr<ExtensionProviderSource> source(
        new ExtensionProviderSource(environment.timerQueue));
    CameraExtensionService& service = *environment.service;
    source->provider_ = service.makeProvider(source, clientQueue);
    source->deviceSource_ = ExtensionDeviceSource::create(std::string(virtual_camera::kDeviceName),
                                                          std::move(environment));
    if (source->provider_ && source->deviceSource_) {
        if (std::optional<CameraExtensionError> error =
                source->provider_->addDevice(source->deviceSource_->device()))
            extensionLogger().error("Could not add device: " + error->localizedDescription);
    }
    return source;
}

bool ExtensionProviderSource::connectClient(const CameraExtensionClientPtr&) {
    return true;
}

void ExtensionProviderSource::disconnectClient(const CameraExtensionClientPtr&) {}

CameraExtensionPropertySet ExtensionProviderSource::availableProperties() const {
    return {CameraExtensionProperty::providerManufacturer};
}

CameraExtensionProviderProperties
ExtensionProviderSource::providerProperties(const CameraExtensionPropertySet& properties) const {
    CameraExtensionProviderProperties answer;
    if (properties.count(CameraExtensionProperty::providerManufacturer) != 0)
        answer.manufacturer = std::string(kManufacturer);
    return answer;
}

bool ExtensionProviderSource::setProviderProperties(const CameraExtensionProviderProperties&) {
    return true;
}

} // namespace orlenta

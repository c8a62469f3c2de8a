// The device source's internal state for its tests: reader count, sink client, placeholder timer
// and picture, the stored format index of each stream role, the sink role's admitted client. Not
// part of the device source's contract; only tests include this.
#pragma once

#include <cstdint>
#include <memory>

#include "extension/extension_device_source.h"

namespace orlenta {

class ExtensionDeviceSourceTesting {
public:
    static int64_t sourceClients(const ExtensionDeviceSource& device) {
        return device.sourceClients();
    }
    static CameraExtensionClientPtr sinkClient(const ExtensionDeviceSource& device) {
        return device.sinkClient();
    }
    static bool hasPlaceholderTimer(const ExtensionDeviceSource& device) {
        return device.hasPlaceholderTimer();
    }
    static const std::shared_ptr<PixelBuffer>& placeholder(const ExtensionDeviceSource& device) {
        return device.placeholder_;
    }
    static const VideoFormatDescription& formatDescription(const ExtensionDeviceSource& device) {
        return device.formatDescription_;
    }
    static int64_t activeFormatIndex(const ExtensionStreamSource& role) {
        return role.activeFormatIndex_;
    }
    static int64_t activeFormatIndex(const ExtensionStreamSink& role) {
        return role.activeFormatIndex_;
    }
    static CameraExtensionClientPtr admittedClient(const ExtensionStreamSink& role) {
        return role.client();
    }
};

} // namespace orlenta

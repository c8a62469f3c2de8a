// For test programs of the virtual camera in the private PipeWire session: the daemon binary
// started as a child, and the app's PipeWire camera system waiting for the virtual camera.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera_service/pipewire_camera_system.h"
#include "camera_service/virtual_camera.h"
#include "tests/testing/pipewire_session.h"

namespace orlenta::testing {

// The built daemon (after the prefix, such as a program that starts it detached).
inline std::unique_ptr<ChildProcess> startDaemon(std::vector<std::string> prefix = {}) {
    prefix.push_back(ORLENTA_EXTENSION_BINARY);
    return std::make_unique<ChildProcess>(prefix, sessionLog("daemon"));
}

struct AppCameraSystem {
    explicit AppCameraSystem(const std::string& name) {
        std::string error;
        system = PipeWireCameraSystem::create({name, {}}, &error);
        EXPECT_TRUE(system) << error;
    }
    // The virtual camera's device once both its streams are listed (the nodes appear one by one).
    std::optional<CameraObjectId> device() const {
        for (const CameraObjectId device : system->devices())
            if (system->deviceUniqueId(device) == std::string(virtual_camera::kDeviceId) &&
                system->deviceStreams(device).size() == 2)
                return device;
        return std::nullopt;
    }
    bool waitForDevice(double timeout = 5) const {
        return waitUntil([&] { return device().has_value(); }, timeout);
    }

    std::shared_ptr<PipeWireCameraSystem> system;
};

} // namespace orlenta::testing

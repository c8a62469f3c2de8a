// The daemon's own names, beside what it shares with the app (camera_service/virtual_camera.h:
// the device and stream identities, the format, the node names and the lock file).
#pragma once

#include <string_view>

namespace orlenta {

// The maker's web domain, answered as the provider's manufacturer.
inline constexpr std::string_view kManufacturer = "orlenta.example";

inline constexpr std::string_view kLogSubsystem = "example.orlenta.camera.extension";
inline constexpr std::string_view kLogCategory = "extension";
inline constexpr std::string_view kTimerQueueLabel = "example.orlenta.camera.extension.timer";

} // namespace orlenta

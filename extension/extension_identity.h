// The fixed identities and the one video format of the virtual camera. The app knows the device
// identifier and finds the sink stream on that device by its direction; nothing here may change
// without changing the app.
#pragma once

#include <cstdint>
#include <string_view>

#include "camera_service/camera_service.h"
#include "media/media_time.h"

namespace orlenta {

inline constexpr std::string_view kDeviceIdText = "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B";
inline constexpr std::string_view kSourceStreamIdText = "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6C";
inline constexpr std::string_view kSinkStreamIdText = "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6D";

inline constexpr std::string_view kDeviceName = "Orlenta Camera";
inline constexpr std::string_view kSourceStreamName = "Orlenta Camera.Video";
inline constexpr std::string_view kSinkStreamName = "Orlenta Camera.Sink";
inline constexpr std::string_view kDeviceModel = "Orlenta Camera";
// The maker's web domain, answered as the provider's manufacturer.
inline constexpr std::string_view kManufacturer = "orlenta.example";

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr Time kFrameDuration = Time::make(1, 30);

inline constexpr std::string_view kLogSubsystem = "example.orlenta.camera.extension";
inline constexpr std::string_view kLogCategory = "extension";
inline constexpr std::string_view kTimerQueueLabel = "example.orlenta.camera.extension.timer";

// Parsed once, on first use, and kept for the life of the process.
const Uuid& deviceUuid();
const Uuid& sourceStreamUuid();
const Uuid& sinkStreamUuid();

} // namespace orlenta

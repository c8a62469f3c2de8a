// The virtual camera as both programs know it: what the daemon (orlenta-camera-extension)
// publishes and the app (and orlenta-cover) look for, written once. The two programs are built
// and installed together but run apart and never call each other; they agree only through these
// values, so a change here changes both sides at once, and nothing here may differ between them.
//
//   Identities: the device and its two streams, with fixed identifiers and names. The app finds
//   the device by its identifier (or else by its name) and the sink stream by its direction.
//   Format:     one 1280 x 720 BGRA format at 30 frames a second, rows packed (stride = width * 4)
//               on the wire; the daemon offers nothing else and the app's queue takes nothing else.
//   Nodes:      how the PipeWire service names and marks a published stream's node, so that any
//               client can tell device and stream from the registry alone.
//   Lock file:  the daemon's single-instance lock, which the app reads to find a running daemon.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "media/media_time.h"
#include "media/pixel_buffer.h"

namespace orlenta {
struct Uuid; // camera_service/camera_service.h
}

namespace orlenta::virtual_camera {

// --- Identities -------------------------------------------------------------------------------

// In canonical upper-case form: the device's unique identifier in the app's device list is
// exactly this text (case matters).
inline constexpr std::string_view kDeviceId = "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B";
inline constexpr std::string_view kSourceStreamId = "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6C";
inline constexpr std::string_view kSinkStreamId = "6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6D";

// What camera pickers show; also the device's model. The app never lists a camera of this name
// or model among its own inputs.
inline constexpr std::string_view kDeviceName = "Orlenta Camera";
inline constexpr std::string_view kDeviceModel = "Orlenta Camera";
inline constexpr std::string_view kSourceStreamName = "Orlenta Camera.Video";
inline constexpr std::string_view kSinkStreamName = "Orlenta Camera.Sink";

// The identifiers above, parsed once on first use and kept for the life of the process.
const Uuid& deviceUuid();
const Uuid& sourceStreamUuid();
const Uuid& sinkStreamUuid();

// --- Format -----------------------------------------------------------------------------------

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr int kFramesPerSecond = 30;
inline constexpr Time kFrameDuration = Time::make(1, kFramesPerSecond);
inline constexpr uint32_t kPixelFormat = kPixelFormatBGRA;
inline constexpr int kBytesPerPixel = 4;
// Bytes from one row to the next in a frame on the wire (pixel buffers may pad their rows).
inline constexpr int kFrameStride = kFrameWidth * kBytesPerPixel;

// --- PipeWire nodes ---------------------------------------------------------------------------

// A published stream's node is named kNodeNamePrefix + device id + "." + stream id (canonical
// upper-case identifiers), and carries both identifiers again under these property keys.
inline constexpr std::string_view kNodeNamePrefix = "orlenta-camera.";
inline constexpr const char* kDeviceIdProperty = "orlenta.device.id";
inline constexpr const char* kStreamIdProperty = "orlenta.stream.id";
// media.class of a source stream's node (read by every video app) and of a sink stream's node
// (written by the app); the app tells the two apart by it.
inline constexpr const char* kSourceMediaClass = "Video/Source";
inline constexpr const char* kSinkMediaClass = "Video/Sink";
// The node of the app's writer into a sink node.
inline constexpr const char* kWriterNodeName = "orlenta-camera-writer";

std::string nodeName(const Uuid& device, const Uuid& stream);
// Device and stream identifiers (canonical form) from a node name made by nodeName(); absent for
// any other name.
std::optional<std::pair<std::string, std::string>> parseNodeName(std::string_view name);
// The nodes of this virtual camera's two streams.
std::string sourceNodeName();
std::string sinkNodeName();

// --- Lock file --------------------------------------------------------------------------------

inline constexpr std::string_view kLockFileName = "orlenta-camera-extension.lock";

// Where the daemon's lock file is: in the session's runtime directory ($XDG_RUNTIME_DIR, else
// /run/user/<uid>), which must be a directory of this user. Absent when there is none; the daemon
// then does not run.
std::optional<std::string> lockFilePath();

} // namespace orlenta::virtual_camera

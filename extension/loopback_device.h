// The V4L2 loopback device "Orlenta Camera": the virtual camera for apps that read cameras only
// through V4L2 (a /dev/videoN that the daemon writes and those apps read), beside the PipeWire
// node.
//
//   Finding it:  by its card label in sysfs (<root>/videoN/name), never by its number, which the
//                kernel hands out; the lowest number wins when several carry the label.
//   Its format:  YUYV 4:2:2 (packed Y0 U Y1 V), 1280 x 720, 2560 bytes a row, BT.601 limited
//                range: what every USB webcam delivers, so every V4L2 reader takes it.
//   Writing it:  the plain V4L2 write API (open, VIDIOC_QUERYCAP, VIDIOC_S_FMT on the output
//                side, VIDIOC_S_PARM for 30 fps, one write() per frame), without blocking.
//
// Threads: the functions are pure; a writer is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orlenta::loopback {

inline constexpr std::string_view kSysfsRoot = "/sys/class/video4linux";
inline constexpr std::string_view kDeviceRoot = "/dev";
inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr size_t kBytesPerLine = kFrameWidth * 2;
inline constexpr size_t kFrameBytes = kBytesPerLine * kFrameHeight;

// The device node (deviceRoot + "/videoN") of the first videoN under sysfsRoot whose name file
// holds `label` (a trailing line break ignored); absent when there is none.
std::optional<std::string> findDevice(std::string_view label,
                                      const std::string& sysfsRoot = std::string(kSysfsRoot),
                                      const std::string& deviceRoot = std::string(kDeviceRoot));

// BGRA rows to YUYV rows, BT.601 limited range (Y 16..235, U and V 16..240). Each pair of pixels
// shares the U and V of their mean colour; an odd last pixel pairs with itself.
void convertBgraToYuyv(const uint8_t* bgra, size_t bgraStride, int width, int height, uint8_t* yuyv,
                       size_t yuyvStride);

// One open device that frames are written to. Closed when destroyed.
class Writer {
public:
    enum class Written { frame, dropped, failed };

    virtual ~Writer() = default;
    // Opens the device and sets the output format; false, with a sentence for the log in *error,
    // when it is no V4L2 output device, is taken by another writer or refuses the format.
    virtual bool open(const std::string& path, std::string* error) = 0;
    // One whole YUYV frame of kFrameBytes. `dropped` when the device cannot take it now; `failed`
    // (with *error) when it has gone or broken, after which the writer is of no further use.
    virtual Written write(const uint8_t* frame, size_t size, std::string* error) = 0;
};

// The system calls a V4L2 writer makes; the real ones by default. Tests stand in for a device.
struct DeviceCalls {
    std::function<int(const char* path, int flags)> open;
    std::function<int(int fd, unsigned long request, void* argument)> ioctl;
    std::function<long(int fd, const void* data, size_t size)> write;
    std::function<int(int fd)> close;
};
DeviceCalls systemDeviceCalls();

std::unique_ptr<Writer> makeV4l2Writer(DeviceCalls calls = systemDeviceCalls());

} // namespace orlenta::loopback

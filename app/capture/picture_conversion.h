// Camera pictures to BGRA: the one conversion a captured frame goes through, from the layout the
// camera (or the JPEG decoder) delivers straight into a pool buffer of the pipeline's format.
//
// Pure pixel work on memory the caller owns; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "media/pixel_buffer.h"

namespace orlenta {

enum class CameraPixelFormat {
    bgra, // 4 bytes a pixel, blue first
    yuy2, // 4:2:2 packed, Y0 U Y1 V
    uyvy, // 4:2:2 packed, U Y0 V Y1
    nv12, // 4:2:0, a Y plane and an interleaved UV plane
    i420, // 4:2:0, Y, U and V planes
};

// A picture as it lies in memory: up to three planes with their row strides. YUV is taken as
// BT.601 with video range, as webcams send it.
struct CameraPicture {
    CameraPixelFormat format = CameraPixelFormat::bgra;
    int width = 0;
    int height = 0;
    std::array<const uint8_t*, 3> planes{};
    std::array<size_t, 3> strides{};
};

// Converts the picture into the destination, which must have the picture's size. False, with
// the destination's contents unspecified, when the sizes differ, a plane is missing, or the
// size does not fit the layout (an odd width for 4:2:2, an odd width or height for 4:2:0).
bool convertCameraPicture(const CameraPicture& picture, PixelBuffer& destination);

} // namespace orlenta

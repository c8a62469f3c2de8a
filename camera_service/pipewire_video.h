// Raw video on PipeWire streams, as both sides of the camera service offer and read it: format
// and buffer parameters, the negotiated size, and BGRA pictures in and out of stream buffers.
// Internal to camera_service/. Pure functions; callers hold the loop lock where PipeWire wants it.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include "media/media_time.h"
#include "media/pixel_buffer.h"

struct spa_buffer;

namespace orlenta::pipewire {

// Room for the few parameters a stream sets at once.
struct PodBuffer {
    PodBuffer() { builder = SPA_POD_BUILDER_INIT(data, sizeof data); }
    uint8_t data[1024];
    spa_pod_builder builder;
};

struct VideoShape {
    int width = 0;
    int height = 0;
    // Frames per second as a fraction; a zero numerator accepts any rate up to 1000 per second.
    uint32_t rateNumerator = 30;
    uint32_t rateDenominator = 1;
};

// One EnumFormat entry: raw video of the given shape and pixel format.
const spa_pod* buildFormat(spa_pod_builder* b, const VideoShape& shape, spa_video_format format);
// Buffers of packed BGRA rows in memfd shared memory (the frames cross into another process):
// count of them within [minimum, maximum], one block each.
const spa_pod* buildBuffers(spa_pod_builder* b, int width, int height, int32_t count,
                            int32_t minimum, int32_t maximum);
// The buffer header, which carries the presentation time and the sequence number.
const spa_pod* buildHeaderMeta(spa_pod_builder* b);

// The negotiated size, or absent for anything but raw BGRA/BGRx of a positive size.
std::optional<std::pair<int, int>> parseFormat(const spa_pod* param);

// Copies a BGRA picture of width x height into a buffer of the stream, rows packed. False when
// the buffer cannot hold it (the buffer is then left untouched).
bool fillBuffer(spa_buffer* buffer, const PixelBuffer& picture, int width, int height);
// Writes the presentation time (CLOCK_MONOTONIC nanoseconds) and sequence number into the
// buffer's header, when it has one.
void stampHeader(spa_buffer* buffer, int64_t presentationNanoseconds, uint64_t sequence);

// A media time in nanoseconds; 0 for an invalid time.
int64_t nanosecondsOf(const Time& time);

} // namespace orlenta::pipewire

#include "camera_service/pipewire_video.h"

#include <cstring>

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include "camera_service/virtual_camera.h"

namespace orlenta::pipewire {

const spa_pod* buildFormat(spa_pod_builder* b, const VideoShape& shape, spa_video_format format) {
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(b, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_id(b, format);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(b, static_cast<uint32_t>(shape.width),
                              static_cast<uint32_t>(shape.height));
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
    if (shape.rateNumerator == 0) {
        spa_pod_frame choice;
        spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_fraction(b, 30, 1);
        spa_pod_builder_fraction(b, 0, 1);
        spa_pod_builder_fraction(b, 1000, 1);
        spa_pod_builder_pop(b, &choice);
    } else {
        spa_pod_builder_fraction(b, shape.rateNumerator, shape.rateDenominator);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

const spa_pod* buildBuffers(spa_pod_builder* b, int width, int height, int32_t count,
                            int32_t minimum, int32_t maximum) {
    const int32_t stride = width * virtual_camera::kBytesPerPixel;
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_frame choice;
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(b, count);
    spa_pod_builder_int(b, minimum);
    spa_pod_builder_int(b, maximum);
    spa_pod_builder_pop(b, &choice);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(b, 1);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(b, stride * height);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(b, stride);
    // Shared memory only: the frames cross into another process.
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_frame flags;
    spa_pod_builder_push_choice(b, &flags, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(b, 1 << SPA_DATA_MemFd);
    spa_pod_builder_pop(b, &flags);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

const spa_pod* buildHeaderMeta(spa_pod_builder* b) {
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(b, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(b, SPA_META_Header);
    spa_pod_builder_prop(b, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(b, static_cast<int32_t>(sizeof(spa_meta_header)));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

std::optional<std::pair<int, int>> parseFormat(const spa_pod* param) {
    if (!param)
        return std::nullopt;
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return std::nullopt;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0)
        return std::nullopt;
    if (info.format != SPA_VIDEO_FORMAT_BGRA && info.format != SPA_VIDEO_FORMAT_BGRx)
        return std::nullopt;
    if (info.size.width == 0 || info.size.height == 0 || info.size.width > 16384 ||
        info.size.height > 16384)
        return std::nullopt;
    return std::pair{static_cast<int>(info.size.width), static_cast<int>(info.size.height)};
}

bool fillBuffer(spa_buffer* buffer, const PixelBuffer& picture, int width, int height) {
    if (buffer->n_datas < 1)
        return false;
    spa_data& data = buffer->datas[0];
    const auto stride = static_cast<size_t>(width) * virtual_camera::kBytesPerPixel;
    const size_t size = stride * static_cast<size_t>(height);
    if (!data.data || !data.chunk || data.maxsize < size)
        return false;
    PixelBufferLock lock(const_cast<PixelBuffer&>(picture));
    if (!lock)
        return false;
    auto* destination = static_cast<uint8_t*>(data.data);
    const uint8_t* source = lock.data();
    if (picture.bytesPerRow() == stride) {
        std::memcpy(destination, source, size);
    } else {
        for (int row = 0; row < height; ++row)
            std::memcpy(destination + static_cast<size_t>(row) * stride,
                        source + static_cast<size_t>(row) * picture.bytesPerRow(), stride);
    }
    data.chunk->offset = 0;
    data.chunk->size = static_cast<uint32_t>(size);
    data.chunk->stride = static_cast<int32_t>(stride);
    data.chunk->flags = SPA_CHUNK_FLAG_NONE;
    return true;
}

void stampHeader(spa_buffer* buffer, int64_t presentationNanoseconds, uint64_t sequence) {
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (!header)
        return;
    header->flags = 0;
    header->offset = 0;
    header->pts = presentationNanoseconds;
    header->dts_offset = 0;
    header->seq = sequence;
}

int64_t nanosecondsOf(const Time& time) {
    if (!time.isValid())
        return 0;
    if (time.timescale == 1'000'000'000)
        return time.value;
    return secondsToNanoseconds(time.seconds());
}

} // namespace orlenta::pipewire

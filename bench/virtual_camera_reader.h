// A reader of the virtual camera for the benchmarks: a PipeWire client like any video app, linked
// to the daemon's source node, asking for 1280 x 720 BGRA at 30 fps and the buffer header (where
// the frame's presentation time travels). Every frame is handed to a callback on the reader's own
// thread loop ("bench-reader"), so the reader's work can be told apart from the rest of the
// process by its thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <time.h>
#include <utility>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "camera_service/virtual_camera.h"

namespace orlenta::bench {

inline constexpr const char* kReaderThreadName = "bench-reader";

inline int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

class VirtualCameraReader {
public:
    struct Frame {
        const uint8_t* pixels = nullptr; // BGRA
        size_t size = 0;                 // bytes from pixels on
        size_t stride = 0;               // bytes per row
        int64_t pts = 0;                 // from the buffer header; 0 if none
        int64_t arrival = 0;             // CLOCK_MONOTONIC nanoseconds
    };
    using Callback = std::function<void(const Frame&)>;

    explicit VirtualCameraReader(Callback onFrame) : onFrame_(std::move(onFrame)) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new(kReaderThreadName, nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_) {
            const std::string sourceNode = virtual_camera::sourceNodeName();
            pw_properties* properties = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                "Camera", PW_KEY_TARGET_OBJECT, sourceNode.c_str(), nullptr);
            stream_ = pw_stream_new(core_, "bench reader", properties);
            static const pw_stream_events events = [] {
                pw_stream_events e{};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                    if (id == SPA_PARAM_Format && param)
                        static_cast<VirtualCameraReader*>(data)->askForHeaders();
                };
                e.process = [](void* data) { static_cast<VirtualCameraReader*>(data)->process(); };
                return e;
            }();
            pw_stream_add_listener(stream_, &listener_, &events, this);
            uint8_t buffer[1024];
            spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
            spa_video_info_raw info{};
            info.format = SPA_VIDEO_FORMAT_BGRA;
            info.size = SPA_RECTANGLE(virtual_camera::kFrameWidth, virtual_camera::kFrameHeight);
            info.framerate = SPA_FRACTION(virtual_camera::kFramesPerSecond, 1);
            const spa_pod* params[] = {spa_format_video_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
            pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS),
                              params, 1);
        }
        pw_thread_loop_unlock(loop_);
    }
    ~VirtualCameraReader() {
        pw_thread_loop_stop(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        if (core_)
            pw_core_disconnect(core_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    VirtualCameraReader(const VirtualCameraReader&) = delete;
    VirtualCameraReader& operator=(const VirtualCameraReader&) = delete;

    bool started() const { return stream_ != nullptr; }

private:
    void askForHeaders() {
        uint8_t data[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(data, sizeof data);
        spa_pod_frame f;
        spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
        spa_pod_builder_prop(&b, SPA_PARAM_META_type, 0);
        spa_pod_builder_id(&b, SPA_META_Header);
        spa_pod_builder_prop(&b, SPA_PARAM_META_size, 0);
        spa_pod_builder_int(&b, static_cast<int32_t>(sizeof(spa_meta_header)));
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f))};
        pw_stream_update_params(stream_, params, 1);
    }

    void process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (!buffer)
            return;
        Frame frame;
        frame.arrival = monotonicNanoseconds();
        spa_buffer* b = buffer->buffer;
        if (b->n_datas > 0 && b->datas[0].data && b->datas[0].chunk) {
            const spa_chunk& chunk = *b->datas[0].chunk;
            frame.pixels = static_cast<const uint8_t*>(b->datas[0].data) + chunk.offset;
            frame.size = chunk.size;
            frame.stride = chunk.stride > 0 ? static_cast<size_t>(chunk.stride)
                                            : static_cast<size_t>(virtual_camera::kFrameStride);
            const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
            frame.pts = header ? header->pts : 0;
            onFrame_(frame);
        }
        pw_stream_queue_buffer(stream_, buffer);
    }

    Callback onFrame_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
};

} // namespace orlenta::bench

// A reader of a PipeWire video node, like a video app reading the virtual camera: it links to the
// node by name, asks for 1280 x 720 BGRA, takes every frame, and keeps what the tests look at
// (arrival times, a hash of each frame's pixels, the latest frame).
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "tests/testing/pipewire_session.h"

namespace orlenta::testing {

// FNV-1a over the rows of a BGRA picture (width * 4 bytes per row, rows stride bytes apart).
// Left out of ThreadSanitizer's instrumentation: the pictures hashed here belong to one thread,
// and instrumented, hashing 60 of them a second took the CPU that the daemon under test needs.
__attribute__((no_sanitize("thread"))) inline uint64_t hashPicture(const uint8_t* data, int width,
                                                                   int height, size_t stride) {
    uint64_t hash = 1469598103934665603ull;
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = data + static_cast<size_t>(y) * stride;
        for (size_t x = 0; x < rowBytes; x += 8) {
            uint64_t word = 0;
            std::memcpy(&word, row + x, 8);
            hash = (hash ^ word) * 1099511628211ull;
        }
    }
    return hash;
}

class TestReader {
public:
    struct Frame {
        double arrival = 0; // monotonic seconds
        int64_t pts = 0;    // from the buffer header, 0 if none
        uint64_t hash = 0;
    };

    explicit TestReader(const std::string& target) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("test-reader", nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_) {
            stream_ =
                pw_stream_new(core_, "test reader",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                                PW_KEY_TARGET_OBJECT, target.c_str(), nullptr));
            static const pw_stream_events events = [] {
                pw_stream_events e{};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                    static_cast<TestReader*>(data)->formatChanged(id, param);
                };
                e.process = [](void* data) { static_cast<TestReader*>(data)->process(); };
                return e;
            }();
            pw_stream_add_listener(stream_, &listener_, &events, this);
            uint8_t storage[512];
            spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
            const spa_rectangle size{1280, 720};
            const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size,
                SPA_POD_Rectangle(&size)));
            pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS),
                              &format, 1);
        }
        pw_thread_loop_unlock(loop_);
    }
    ~TestReader() {
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (core_)
            pw_core_disconnect(core_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    TestReader(const TestReader&) = delete;
    TestReader& operator=(const TestReader&) = delete;

    std::vector<Frame> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    // The latest frame, packed BGRA 1280 x 720 (empty before the first).
    std::vector<uint8_t> latestFrame() const {
        std::lock_guard lock(mutex_);
        return latest_;
    }
    bool waitForFrames(size_t count, double timeoutSeconds) const {
        return waitUntil(
            [&] {
                std::lock_guard lock(mutex_);
                return frames_.size() >= count;
            },
            timeoutSeconds);
    }

private:
    // Loop thread: the format is settled; ask for the buffer header that carries the time.
    void formatChanged(uint32_t id, const spa_pod* param) {
        spa_video_info_raw info{};
        if (id != SPA_PARAM_Format || !param || spa_format_video_raw_parse(param, &info) < 0)
            return;
        width_ = static_cast<int>(info.size.width);
        height_ = static_cast<int>(info.size.height);
        uint8_t storage[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* meta = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
            SPA_POD_Int(static_cast<int32_t>(sizeof(spa_meta_header)))));
        pw_stream_update_params(stream_, &meta, 1);
    }

    // Loop thread: one frame.
    void process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (!buffer)
            return;
        const spa_buffer* b = buffer->buffer;
        const size_t rowBytes = static_cast<size_t>(width_) * 4;
        const spa_data* d = b->n_datas > 0 ? &b->datas[0] : nullptr;
        const size_t stride = d && d->chunk && d->chunk->stride > 0 ? d->chunk->stride : rowBytes;
        if (d && d->data && d->chunk && width_ > 0 &&
            d->chunk->size >= stride * static_cast<size_t>(height_ - 1) + rowBytes) {
            const auto* pixels = static_cast<const uint8_t*>(d->data) + d->chunk->offset;
            const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
            std::lock_guard lock(mutex_);
            frames_.push_back({monotonicSeconds(), header ? header->pts : 0,
                               hashPicture(pixels, width_, height_, stride)});
            latest_.resize(rowBytes * static_cast<size_t>(height_));
            for (int y = 0; y < height_; ++y)
                std::memcpy(latest_.data() + static_cast<size_t>(y) * rowBytes,
                            pixels + static_cast<size_t>(y) * stride, rowBytes);
        }
        pw_stream_queue_buffer(stream_, buffer);
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    int width_ = 0;
    int height_ = 0;

    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
    std::vector<uint8_t> latest_;
};

} // namespace orlenta::testing

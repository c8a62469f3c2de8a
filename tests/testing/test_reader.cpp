#include "tests/testing/test_reader.h"

#include <cstring>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "tests/testing/pipewire_session.h"

namespace orlenta::testing {

uint64_t hashPicture(const uint8_t* data, int width, int height, size_t stride) {
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

struct TestReader::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    int width = 0;
    int height = 0;

    mutable std::mutex mutex;
    std::vector<Frame> frames;
    std::vector<uint8_t> latest;

    void process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (!buffer)
            return;
        spa_buffer* b = buffer->buffer;
        if (b->n_datas > 0 && b->datas[0].data && b->datas[0].chunk && width > 0) {
            const spa_data& d = b->datas[0];
            const size_t stride = d.chunk->stride > 0 ? static_cast<size_t>(d.chunk->stride)
                                                      : static_cast<size_t>(width) * 4;
            const size_t rowBytes = static_cast<size_t>(width) * 4;
            if (d.chunk->size >= stride * static_cast<size_t>(height - 1) + rowBytes) {
                const auto* pixels = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
                Frame frame;
                frame.arrival = monotonicSeconds();
                const auto* header = static_cast<const spa_meta_header*>(
                    spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
                frame.pts = header ? header->pts : 0;
                frame.hash = hashPicture(pixels, width, height, stride);
                std::lock_guard lock(mutex);
                frames.push_back(frame);
                latest.resize(rowBytes * static_cast<size_t>(height));
                for (int y = 0; y < height; ++y)
                    std::memcpy(latest.data() + static_cast<size_t>(y) * rowBytes,
                                pixels + static_cast<size_t>(y) * stride, rowBytes);
            }
        }
        pw_stream_queue_buffer(stream, buffer);
    }
};

TestReader::TestReader(const std::string& target, bool bgrx) : impl_(std::make_unique<Impl>()) {
    pw_init(nullptr, nullptr);
    impl_->loop = pw_thread_loop_new("test-reader", nullptr);
    impl_->context = pw_context_new(pw_thread_loop_get_loop(impl_->loop), nullptr, 0);
    pw_thread_loop_start(impl_->loop);
    pw_thread_loop_lock(impl_->loop);
    impl_->core = pw_context_connect(impl_->context, nullptr, 0);
    if (impl_->core) {
        pw_properties* properties = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
            "Camera", PW_KEY_TARGET_OBJECT, target.c_str(), nullptr);
        impl_->stream = pw_stream_new(impl_->core, "test reader", properties);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                auto* self = static_cast<Impl*>(data);
                if (id != SPA_PARAM_Format || !param)
                    return;
                spa_video_info_raw info{};
                if (spa_format_video_raw_parse(param, &info) < 0)
                    return;
                self->width = static_cast<int>(info.size.width);
                self->height = static_cast<int>(info.size.height);
                uint8_t data2[512];
                spa_pod_builder b = SPA_POD_BUILDER_INIT(data2, sizeof data2);
                spa_pod_frame f;
                spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
                spa_pod_builder_prop(&b, SPA_PARAM_META_type, 0);
                spa_pod_builder_id(&b, SPA_META_Header);
                spa_pod_builder_prop(&b, SPA_PARAM_META_size, 0);
                spa_pod_builder_int(&b, static_cast<int32_t>(sizeof(spa_meta_header)));
                const spa_pod* params[] = {
                    static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f))};
                pw_stream_update_params(self->stream, params, 1);
            };
            e.process = [](void* data) { static_cast<Impl*>(data)->process(); };
            return e;
        }();
        pw_stream_add_listener(impl_->stream, &impl_->listener, &events, impl_.get());
        uint8_t buffer[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_pod_frame f;
        spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
        spa_pod_builder_prop(&b, SPA_FORMAT_mediaType, 0);
        spa_pod_builder_id(&b, SPA_MEDIA_TYPE_video);
        spa_pod_builder_prop(&b, SPA_FORMAT_mediaSubtype, 0);
        spa_pod_builder_id(&b, SPA_MEDIA_SUBTYPE_raw);
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_id(&b, bgrx ? SPA_VIDEO_FORMAT_BGRx : SPA_VIDEO_FORMAT_BGRA);
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
        spa_pod_builder_rectangle(&b, 1280, 720);
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f))};
        pw_stream_connect(
            impl_->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
    }
    pw_thread_loop_unlock(impl_->loop);
}

TestReader::~TestReader() {
    pw_thread_loop_lock(impl_->loop);
    if (impl_->stream)
        pw_stream_destroy(impl_->stream);
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    if (impl_->core)
        pw_core_disconnect(impl_->core);
    pw_context_destroy(impl_->context);
    pw_thread_loop_destroy(impl_->loop);
}

bool TestReader::started() const {
    return impl_->stream != nullptr;
}

std::vector<TestReader::Frame> TestReader::frames() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->frames;
}

size_t TestReader::frameCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->frames.size();
}

std::vector<uint8_t> TestReader::latestFrame() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->latest;
}

bool TestReader::waitForFrames(size_t count, double timeoutSeconds) const {
    return waitUntil([&] { return frameCount() >= count; }, timeoutSeconds);
}

} // namespace orlenta::testing

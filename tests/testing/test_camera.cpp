#include "tests/testing/test_camera.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <time.h>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

namespace orlenta::testing {

namespace {

double monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The camera's picture for one tag: the caller's scene, or a grey gradient above and pure red
// below; the tag's blocks in the top-left corner.
cv::Mat pictureFor(int tag, int width, int height, const std::function<cv::Mat(int)>& scene) {
    cv::Mat bgr(height, width, CV_8UC3, cv::Scalar::all(0));
    if (scene) {
        const cv::Mat picture = scene(tag);
        if (picture.type() == CV_8UC3 && picture.size() == bgr.size())
            picture.copyTo(bgr);
    }
    for (int y = 0; y < height && !scene; ++y) {
        auto* row = bgr.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x) {
            if (y >= height / 2)
                row[x] = {0, 0, 255};
            else
                row[x] = cv::Vec3b::all(static_cast<uchar>(64 + (x * 64) / width));
        }
    }
    for (int bit = 0; (1 << bit) < TestCamera::kTagCount; ++bit) {
        const bool one = (tag >> bit) & 1;
        const cv::Rect block(bit * TestCamera::kTagBlock, 0, TestCamera::kTagBlock,
                             TestCamera::kTagBlock);
        bgr(block & cv::Rect(0, 0, width, height))
            .setTo(one ? cv::Scalar::all(255) : cv::Scalar::all(0));
    }
    return bgr;
}

// BT.601 limited range, the way webcams send YUY2.
std::vector<uint8_t> toYuy2(const cv::Mat& bgr) {
    std::vector<uint8_t> out(static_cast<size_t>(bgr.cols) * bgr.rows * 2);
    auto luma = [](const cv::Vec3b& p) {
        return static_cast<uint8_t>(
            std::clamp(16 + (66 * p[2] + 129 * p[1] + 25 * p[0] + 128) / 256, 0, 255));
    };
    for (int y = 0; y < bgr.rows; ++y) {
        const auto* row = bgr.ptr<cv::Vec3b>(y);
        uint8_t* o = out.data() + static_cast<size_t>(y) * bgr.cols * 2;
        for (int x = 0; x + 1 < bgr.cols; x += 2) {
            const cv::Vec3b a = row[x], b = row[x + 1];
            const int r = (a[2] + b[2]) / 2, g = (a[1] + b[1]) / 2, bl = (a[0] + b[0]) / 2;
            const int u = 128 + (-38 * r - 74 * g + 112 * bl + 128) / 256;
            const int v = 128 + (112 * r - 94 * g - 18 * bl + 128) / 256;
            o[2 * x + 0] = luma(a);
            o[2 * x + 1] = static_cast<uint8_t>(std::clamp(u, 0, 255));
            o[2 * x + 2] = luma(b);
            o[2 * x + 3] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return out;
}

} // namespace

struct TestCamera::Impl {
    Options options;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_source* timer = nullptr;
    std::atomic<bool> streaming{false};
    std::atomic<bool> sending{true};
    std::atomic<int> streamingStarts{0};
    std::atomic<uint64_t> sent{0};
    bool ok = false;
    // The mode frames are made in; written on the camera's thread, read under modeMutex.
    mutable std::mutex modeMutex;
    Mode mode;
    // The frames of every tag in that mode, ready to copy.
    std::vector<std::vector<uint8_t>> frames;
    size_t maxFrameSize = 0;
    mutable std::mutex timesMutex;
    std::array<double, kTagCount> sendTimes{};

    ~Impl() {
        if (loop)
            pw_thread_loop_stop(loop);
        if (stream)
            pw_stream_destroy(stream);
        if (timer)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop), timer);
        if (core)
            pw_core_disconnect(core);
        if (context)
            pw_context_destroy(context);
        if (loop)
            pw_thread_loop_destroy(loop);
    }

    std::vector<Mode> modes() const {
        std::vector<Mode> all{
            {options.format, options.width, options.height, options.framesPerSecond}};
        all.insert(all.end(), options.otherModes.begin(), options.otherModes.end());
        return all;
    }

    void prepareFrames(const Mode& wanted) {
        {
            std::lock_guard lock(modeMutex);
            mode = wanted;
        }
        frames.clear();
        maxFrameSize = 0;
        for (int tag = 0; tag < kTagCount; ++tag) {
            const cv::Mat bgr = pictureFor(tag, mode.width, mode.height, options.scene);
            if (mode.format == Format::yuy2) {
                frames.push_back(toYuy2(bgr));
            } else {
                std::vector<uint8_t> jpeg;
                cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
                frames.push_back(std::move(jpeg));
            }
            maxFrameSize = std::max(maxFrameSize, frames.back().size());
        }
    }

    void onProcess() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (!buffer)
            return;
        spa_buffer* spa = buffer->buffer;
        const uint64_t n = sent.load();
        const int tag = static_cast<int>(n % kTagCount);
        const std::vector<uint8_t>& frame = frames[static_cast<size_t>(tag)];
        if (spa->datas[0].data == nullptr || spa->datas[0].maxsize < frame.size()) {
            pw_stream_queue_buffer(stream, buffer);
            return;
        }
        std::memcpy(spa->datas[0].data, frame.data(), frame.size());
        spa->datas[0].chunk->offset = 0;
        spa->datas[0].chunk->size = static_cast<uint32_t>(frame.size());
        spa->datas[0].chunk->stride = mode.format == Format::yuy2 ? mode.width * 2 : 0;
        {
            std::lock_guard lock(timesMutex);
            sendTimes[static_cast<size_t>(tag)] = monotonicNow();
        }
        pw_stream_queue_buffer(stream, buffer);
        sent = n + 1;
    }

    // The offered mode a negotiated format names; absent when it names none.
    std::optional<Mode> modeOf(const spa_pod* param) const {
        uint32_t mediaType = 0;
        uint32_t subtype = 0;
        if (spa_format_parse(param, &mediaType, &subtype) < 0)
            return std::nullopt;
        spa_video_info info{};
        spa_rectangle size{};
        Format format = Format::yuy2;
        if (subtype == SPA_MEDIA_SUBTYPE_raw &&
            spa_format_video_raw_parse(param, &info.info.raw) >= 0) {
            size = info.info.raw.size;
        } else if (subtype == SPA_MEDIA_SUBTYPE_mjpg &&
                   spa_format_video_mjpg_parse(param, &info.info.mjpg) >= 0) {
            size = info.info.mjpg.size;
            format = Format::mjpeg;
        } else {
            return std::nullopt;
        }
        for (const Mode& offered : modes())
            if (offered.format == format && offered.width == static_cast<int>(size.width) &&
                offered.height == static_cast<int>(size.height))
                return offered;
        return std::nullopt;
    }

    void setPeriod(int framesPerSecond) {
        const long period = 1'000'000'000L / std::max(1, framesPerSecond);
        timespec value{0, period};
        timespec interval{0, period};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &value, &interval, false);
    }

    void onParamChanged(uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || !param)
            return;
        if (const std::optional<Mode> negotiated = modeOf(param);
            negotiated && *negotiated != mode) {
            prepareFrames(*negotiated);
            setPeriod(negotiated->framesPerSecond);
        }
        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const uint32_t size = static_cast<uint32_t>(maxFrameSize);
        const int stride = mode.format == Format::yuy2 ? mode.width * 2 : 0;
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))))};
        pw_stream_update_params(stream, params, 1);
    }

    static const pw_stream_events& events() {
        static const pw_stream_events e = [] {
            pw_stream_events x{};
            x.version = PW_VERSION_STREAM_EVENTS;
            x.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
                auto* self = static_cast<Impl*>(data);
                const bool now = state == PW_STREAM_STATE_STREAMING;
                if (now && !self->streaming)
                    ++self->streamingStarts;
                self->streaming = now;
            };
            x.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                static_cast<Impl*>(data)->onParamChanged(id, param);
            };
            x.process = [](void* data) { static_cast<Impl*>(data)->onProcess(); };
            return x;
        }();
        return e;
    }

    bool start() {
        prepareFrames(modes().front());
        pw_init(nullptr, nullptr);
        loop = pw_thread_loop_new("test-camera", nullptr);
        if (!loop)
            return false;
        context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
        if (!context)
            return false;
        if (pw_thread_loop_start(loop) < 0)
            return false;
        pw_thread_loop_lock(loop);
        const bool made = makeStream();
        pw_thread_loop_unlock(loop);
        return made;
    }

    bool makeStream() {
        core = pw_context_connect(context, nullptr, 0);
        if (!core)
            return false;
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
            "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, options.nodeName.c_str(),
            PW_KEY_NODE_DESCRIPTION, options.description.c_str(), nullptr);
        for (const auto& [key, value] : options.properties)
            pw_properties_set(props, key.c_str(), value.c_str());
        stream = pw_stream_new(core, options.nodeName.c_str(), props);
        if (!stream)
            return false;
        pw_stream_add_listener(stream, &streamListener, &events(), this);

        uint8_t storage[4096];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        std::vector<const spa_pod*> params;
        for (const Mode& offered : modes()) {
            const spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(offered.width),
                                                     static_cast<uint32_t>(offered.height));
            const spa_fraction rate =
                SPA_FRACTION(static_cast<uint32_t>(offered.framesPerSecond), 1);
            const bool raw = offered.format == Format::yuy2;
            spa_pod_frame frame{};
            spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format,
                                        SPA_PARAM_EnumFormat);
            spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                                SPA_FORMAT_mediaSubtype,
                                SPA_POD_Id(raw ? SPA_MEDIA_SUBTYPE_raw : SPA_MEDIA_SUBTYPE_mjpg),
                                SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                                SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
            if (raw)
                spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_format,
                                    SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), 0);
            params.push_back(static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame)));
        }
        if (pw_stream_connect(
                stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                params.data(), static_cast<uint32_t>(params.size())) < 0)
            return false;

        // The camera's clock: a frame every period while someone reads.
        timer = pw_loop_add_timer(
            pw_thread_loop_get_loop(loop),
            [](void* data, uint64_t) {
                auto* self = static_cast<Impl*>(data);
                if (self->streaming && self->sending)
                    pw_stream_trigger_process(self->stream);
            },
            this);
        setPeriod(mode.framesPerSecond);
        return true;
    }
};

TestCamera::TestCamera(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->sending = impl_->options.sending;
    impl_->ok = impl_->start();
}

TestCamera::~TestCamera() = default;

bool TestCamera::started() const {
    return impl_->ok;
}

const TestCamera::Options& TestCamera::options() const {
    return impl_->options;
}

uint64_t TestCamera::framesSent() const {
    return impl_->sent.load();
}

void TestCamera::setSending(bool sending) {
    impl_->sending = sending;
}

TestCamera::Mode TestCamera::negotiatedMode() const {
    std::lock_guard lock(impl_->modeMutex);
    return impl_->mode;
}

int TestCamera::streamingStarts() const {
    return impl_->streamingStarts.load();
}

std::optional<double> TestCamera::sendTime(int tag) const {
    if (tag < 0 || tag >= kTagCount)
        return std::nullopt;
    std::lock_guard lock(impl_->timesMutex);
    const double t = impl_->sendTimes[static_cast<size_t>(tag)];
    if (t == 0)
        return std::nullopt;
    return t;
}

std::optional<int> TestCamera::readTag(const uint8_t* bgra, int width, int height, size_t stride) {
    int bits = 0;
    while ((1 << bits) < kTagCount)
        ++bits;
    if (!bgra || height < kTagBlock || width < bits * kTagBlock)
        return std::nullopt;
    int tag = 0;
    const uint8_t* row = bgra + static_cast<size_t>(kTagBlock / 2) * stride;
    for (int bit = 0; bit < bits; ++bit) {
        const uint8_t* px = row + 4 * static_cast<size_t>(bit * kTagBlock + kTagBlock / 2);
        // Clearly black or clearly white; anything else means these are not tag blocks.
        if (px[1] > 200)
            tag |= 1 << bit;
        else if (px[1] > 55)
            return std::nullopt;
    }
    return tag;
}

} // namespace orlenta::testing

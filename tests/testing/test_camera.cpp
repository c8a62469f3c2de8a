#include "tests/testing/test_camera.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

namespace orlenta::testing {

namespace {

constexpr int kTagBits = 5; // enough for kTagCount tags
static_assert(1 << kTagBits == TestCamera::kTagCount);

// steady_clock is CLOCK_MONOTONIC, the clock other processes' times are compared on.
double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    for (int x = 0; x < width && !scene; ++x)
        bgr(cv::Rect(x, 0, 1, height / 2)).setTo(cv::Scalar::all(64 + (x * 64) / width));
    if (!scene)
        bgr(cv::Rect(0, height / 2, width, height - height / 2)).setTo(cv::Scalar(0, 0, 255));
    const cv::Rect whole(0, 0, width, height);
    for (int bit = 0; bit < kTagBits; ++bit)
        bgr(cv::Rect(bit * TestCamera::kTagBlock, 0, TestCamera::kTagBlock, TestCamera::kTagBlock) &
            whole)
            .setTo(cv::Scalar::all((tag >> bit) & 1 ? 255 : 0));
    return bgr;
}

// BT.601 limited range, the way webcams send YUY2 (Y U Y V): OpenCV's 4:2:0 planes, each chroma
// row used for both picture rows it covers.
std::vector<uint8_t> toYuy2(const cv::Mat& bgr) {
    const int w = bgr.cols, h = bgr.rows;
    cv::Mat i420, uv, yuy2;
    cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    const cv::Mat u(h / 2, w / 2, CV_8UC1, i420.ptr(h)),
        v(h / 2, w / 2, CV_8UC1, u.data + w * h / 4);
    cv::merge(std::vector<cv::Mat>{u, v}, uv);
    cv::resize(uv, uv, {w / 2, h}, 0, 0, cv::INTER_NEAREST);
    cv::merge(std::vector<cv::Mat>{i420.rowRange(0, h), uv.reshape(1, h)}, yuy2);
    return {yuy2.datastart, yuy2.dataend};
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
        std::vector<Mode> all = options.otherModes;
        all.insert(all.begin(),
                   {options.format, options.width, options.height, options.framesPerSecond});
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
        spa_data& data = buffer->buffer->datas[0];
        const uint64_t n = sent.load();
        const size_t tag = n % kTagCount;
        const std::vector<uint8_t>& frame = frames[tag];
        const bool fits = data.data && data.maxsize >= frame.size();
        if (fits) {
            std::memcpy(data.data, frame.data(), frame.size());
            *data.chunk = {0, static_cast<uint32_t>(frame.size()),
                           mode.format == Format::yuy2 ? mode.width * 2 : 0, 0};
            std::lock_guard lock(timesMutex);
            sendTimes[tag] = monotonicNow();
        }
        pw_stream_queue_buffer(stream, buffer);
        if (fits)
            sent = n + 1;
    }

    // The offered mode a negotiated format names; absent when it names none.
    std::optional<Mode> modeOf(const spa_pod* param) const {
        spa_video_info info{};
        if (spa_format_parse(param, &info.media_type, &info.media_subtype) < 0)
            return std::nullopt;
        const bool raw = info.media_subtype == SPA_MEDIA_SUBTYPE_raw;
        if (raw ? spa_format_video_raw_parse(param, &info.info.raw) < 0
                : info.media_subtype != SPA_MEDIA_SUBTYPE_mjpg ||
                      spa_format_video_mjpg_parse(param, &info.info.mjpg) < 0)
            return std::nullopt;
        const spa_rectangle size = raw ? info.info.raw.size : info.info.mjpg.size;
        for (const Mode& offered : modes())
            if (offered.format == (raw ? Format::yuy2 : Format::mjpeg) &&
                offered.width == static_cast<int>(size.width) &&
                offered.height == static_cast<int>(size.height))
                return offered;
        return std::nullopt;
    }

    void setPeriod(int framesPerSecond) {
        timespec period{0, 1'000'000'000L / std::max(1, framesPerSecond)};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &period, &period, false);
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
        context = loop ? pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0) : nullptr;
        if (!context || pw_thread_loop_start(loop) < 0)
            return false;
        pw_thread_loop_lock(loop);
        const bool made = makeStream();
        pw_thread_loop_unlock(loop);
        return made;
    }

    bool makeStream() {
        if (!(core = pw_context_connect(context, nullptr, 0)))
            return false;
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
            "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, options.nodeName.c_str(),
            PW_KEY_NODE_DESCRIPTION, options.description.c_str(), nullptr);
        for (const auto& [key, value] : options.properties)
            pw_properties_set(props, key.c_str(), value.c_str());
        if (!(stream = pw_stream_new(core, options.nodeName.c_str(), props)))
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
    std::lock_guard lock(impl_->timesMutex);
    const double t = tag >= 0 && tag < kTagCount ? impl_->sendTimes[static_cast<size_t>(tag)] : 0;
    return t == 0 ? std::nullopt : std::optional(t);
}

std::optional<int> TestCamera::readTag(const uint8_t* bgra, int width, int height, size_t stride) {
    if (!bgra || height < kTagBlock || width < kTagBits * kTagBlock)
        return std::nullopt;
    int tag = 0;
    const uint8_t* row = bgra + static_cast<size_t>(kTagBlock / 2) * stride;
    for (int bit = 0; bit < kTagBits; ++bit) {
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

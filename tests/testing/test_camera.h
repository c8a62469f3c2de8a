// A PipeWire camera for tests and benchmarks: a small Video/Source node that produces raw YUY2 or
// MJPEG frames at a fixed size and rate, like a webcam behind PipeWire. It may offer further modes
// (format, size, rate); it then sends in whichever mode its reader negotiated.
//
// Each frame shows a picture whose lower half is pure red (or a scene the caller draws), and in
// its top-left corner a row of 64 x 64 blocks that spell the frame's tag (0..kTagCount-1) in
// binary, white for 1. The camera remembers the monotonic time at which each tag was last handed
// to PipeWire, so a reader can tell how long a frame took to reach it.
//
// Threads: the camera runs on a PipeWire thread loop of its own; every member may be called from
// any thread. Destroying the camera removes its node (a camera unplugged).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

namespace orlenta::testing {

class TestCamera {
public:
    enum class Format { yuy2, mjpeg };
    static constexpr int kTagCount = 32;
    static constexpr int kTagBlock = 64;
    static constexpr int kTagBits = 5; // enough for kTagCount tags
    static_assert(1 << kTagBits == kTagCount);

    struct Mode {
        Format format = Format::yuy2;
        int width = 640;
        int height = 480;
        int framesPerSecond = 30;
        bool operator==(const Mode&) const = default;
    };

    struct Options {
        std::string nodeName = "orlenta-test-camera";
        std::string description = "Test Camera";
        Format format = Format::yuy2;
        int width = 640;
        int height = 480;
        int framesPerSecond = 30;
        // Further node properties (say, a form factor).
        std::map<std::string, std::string> properties{};
        // A camera that is read but sends nothing until setSending(true).
        bool sending = true;
        // When set, the picture for each tag (BGR, the camera's size) in place of the gradient
        // and red; the tag's blocks are drawn over it. Called kTagCount times at start, and again
        // when a reader negotiates another mode (a picture not of that mode's size is left black).
        std::function<cv::Mat(int tag)> scene{};
        // Modes offered after the one above.
        std::vector<Mode> otherModes{};
    };

    // Connects to the PipeWire of the environment; started() tells whether it worked.
    explicit TestCamera(Options options) : options_(std::move(options)) {
        sending_ = options_.sending;
        ok_ = start();
    }
    ~TestCamera() {
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
    TestCamera(const TestCamera&) = delete;
    TestCamera& operator=(const TestCamera&) = delete;

    bool started() const { return ok_; }
    const Options& options() const { return options_; }
    // Frames handed to PipeWire so far.
    uint64_t framesSent() const { return sent_.load(); }
    void setSending(bool sending) { sending_ = sending; }
    // The mode the reader negotiated (the first one until a reader has).
    Mode negotiatedMode() const {
        std::lock_guard lock(modeMutex);
        return mode_;
    }
    // How many times a reader has started streaming from the camera.
    int streamingStarts() const { return starts_.load(); }
    // Monotonic seconds at which the frame with this tag was last handed to PipeWire.
    std::optional<double> sendTime(int tag) const {
        std::lock_guard lock(timesMutex);
        const double t = tag >= 0 && tag < kTagCount ? sendTimes[static_cast<size_t>(tag)] : 0;
        return t == 0 ? std::nullopt : std::optional(t);
    }

    // Reads the tag back from a BGRA picture of the camera's size; absent when the blocks are
    // not there.
    static std::optional<int> readTag(const uint8_t* bgra, int width, int height, size_t stride) {
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

private:
    // steady_clock is CLOCK_MONOTONIC, the clock other processes' times are compared on.
    static double monotonicNow() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // The camera's picture for one tag: the caller's scene, or a grey gradient above and pure red
    // below; the tag's blocks in the top-left corner.
    static cv::Mat pictureFor(int tag, int width, int height,
                              const std::function<cv::Mat(int)>& scene) {
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
            bgr(cv::Rect(bit * kTagBlock, 0, kTagBlock, kTagBlock) & whole)
                .setTo(cv::Scalar::all((tag >> bit) & 1 ? 255 : 0));
        return bgr;
    }

    // BT.601 limited range, the way webcams send YUY2 (Y U Y V): OpenCV's 4:2:0 planes, each chroma
    // row used for both picture rows it covers.
    static std::vector<uint8_t> toYuy2(const cv::Mat& bgr) {
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

    std::vector<Mode> modes() const {
        std::vector<Mode> all = options_.otherModes;
        all.insert(all.begin(),
                   {options_.format, options_.width, options_.height, options_.framesPerSecond});
        return all;
    }

    void prepareFrames(const Mode& wanted) {
        {
            std::lock_guard lock(modeMutex);
            mode_ = wanted;
        }
        frames_.clear();
        maxFrameSize = 0;
        for (int tag = 0; tag < kTagCount; ++tag) {
            const cv::Mat bgr = pictureFor(tag, mode_.width, mode_.height, options_.scene);
            if (mode_.format == Format::yuy2) {
                frames_.push_back(toYuy2(bgr));
            } else {
                std::vector<uint8_t> jpeg;
                cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
                frames_.push_back(std::move(jpeg));
            }
            maxFrameSize = std::max(maxFrameSize, frames_.back().size());
        }
    }

    void onProcess() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (!buffer)
            return;
        spa_data& data = buffer->buffer->datas[0];
        const uint64_t n = sent_.load();
        const size_t tag = n % kTagCount;
        const std::vector<uint8_t>& frame = frames_[tag];
        const bool fits = data.data && data.maxsize >= frame.size();
        if (fits) {
            std::memcpy(data.data, frame.data(), frame.size());
            *data.chunk = {0, static_cast<uint32_t>(frame.size()),
                           mode_.format == Format::yuy2 ? mode_.width * 2 : 0, 0};
            std::lock_guard lock(timesMutex);
            sendTimes[tag] = monotonicNow();
        }
        pw_stream_queue_buffer(stream, buffer);
        if (fits)
            sent_ = n + 1;
    }

    // The offered mode_ a negotiated format names; absent when it names none.
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
            negotiated && *negotiated != mode_) {
            prepareFrames(*negotiated);
            setPeriod(negotiated->framesPerSecond);
        }
        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const uint32_t size = static_cast<uint32_t>(maxFrameSize);
        const int stride = mode_.format == Format::yuy2 ? mode_.width * 2 : 0;
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
                auto* self = static_cast<TestCamera*>(data);
                const bool now = state == PW_STREAM_STATE_STREAMING;
                if (now && !self->streaming)
                    ++self->starts_;
                self->streaming = now;
            };
            x.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                static_cast<TestCamera*>(data)->onParamChanged(id, param);
            };
            x.process = [](void* data) { static_cast<TestCamera*>(data)->onProcess(); };
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
        pw_properties* props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                              PW_KEY_NODE_NAME, options_.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                              options_.description.c_str(), nullptr);
        for (const auto& [key, value] : options_.properties)
            pw_properties_set(props, key.c_str(), value.c_str());
        if (!(stream = pw_stream_new(core, options_.nodeName.c_str(), props)))
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
                auto* self = static_cast<TestCamera*>(data);
                if (self->streaming && self->sending_)
                    pw_stream_trigger_process(self->stream);
            },
            this);
        setPeriod(mode_.framesPerSecond);
        return true;
    }

    Options options_;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_source* timer = nullptr;
    std::atomic<bool> streaming{false};
    std::atomic<bool> sending_{true};
    std::atomic<int> starts_{0};
    std::atomic<uint64_t> sent_{0};
    bool ok_ = false;
    // The mode_ frames_ are made in; written on the camera's thread, read under modeMutex.
    mutable std::mutex modeMutex;
    Mode mode_;
    // The frames_ of every tag in that mode_, ready to copy.
    std::vector<std::vector<uint8_t>> frames_;
    size_t maxFrameSize = 0;
    mutable std::mutex timesMutex;
    std::array<double, kTagCount> sendTimes{};
};

} // namespace orlenta::testing

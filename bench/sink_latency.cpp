// Times the virtual-camera hand-off through the real daemon: from the moment a frame enters
// VirtualCameraSink::send() on the video queue to the moment a reader of the virtual camera (a
// PipeWire client like any video app) receives it, at 30 frames per second.
//
// The daemon binary runs in a private PipeWire session of its own; the app side is the sink over
// the PipeWire camera system, driven as the pipeline drives it. The sink stamps each frame with
// the host clock when it is sent and the daemon passes that time on, so the reader's latency is
// its arrival time minus the frame's presentation time (one clock, CLOCK_MONOTONIC).
//
// Two cases: frames from a small pool, whose buffers the writer's stream carries as they are (no
// copy in the app), and frames each in a buffer the stream has not seen, which are copied.
// Printed with each time: its ratio to one plain copy of a 1280 x 720 BGRA frame measured in the
// same run.
//
// Usage: bench_sink_latency [seconds per case] (default 10)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spawn.h>

#include "app/sink/virtual_camera_sink.h"
#include "bench/bench_support.h"
#include "media/camera_service_pipewire.h"
#include "media/dispatch.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"

extern char** environ;

namespace {

using orlenta::bench::baselineCopyMilliseconds;
using orlenta::bench::Clock;
using orlenta::bench::milliseconds;
using orlenta::bench::percentile;
using orlenta::bench::startPipeWireSession;
using orlenta::bench::stopPipeWireSession;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr double kFramesPerSecond = 30;
constexpr double kWarmUpSeconds = 2;
// Marks the bench's frames (the first word of the picture), so that placeholder frames the
// daemon may send before the first of them are not counted.
constexpr uint64_t kTag = 0x4f524c454e544121ull;
const char* const kSourceNode =
    "orlenta-camera.6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6B.6F4E2C1A-8B3D-4E5F-9A7B-1C2D3E4F5A6C";

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// --- The private session and the daemon ---------------------------------------------------------

std::string sessionDirectory() {
    return std::string(ORLENTA_BINARY_DIR) + "/pipewire-session/sink-bench";
}

std::string sessionScript() {
    return std::string(ORLENTA_SOURCE_DIR) + "/scripts/pipewire-session";
}

void stopSession() {
    stopPipeWireSession(sessionScript(), sessionDirectory());
}

bool startSession() {
    return startPipeWireSession(sessionScript(), sessionDirectory());
}

// The daemon as a child process; ended (TERM, then KILL) and reaped when the object goes.
class Daemon {
public:
    Daemon() {
        char* argv[] = {const_cast<char*>(ORLENTA_EXTENSION_BINARY), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = sessionDirectory() + "/daemon.log";
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Daemon() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// --- A reader of the virtual camera -------------------------------------------------------------

class Reader {
public:
    Reader() {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("bench-reader", nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_) {
            pw_properties* properties = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                "Camera", PW_KEY_TARGET_OBJECT, kSourceNode, nullptr);
            stream_ = pw_stream_new(core_, "bench reader", properties);
            static const pw_stream_events events = [] {
                pw_stream_events e{};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                    if (id == SPA_PARAM_Format && param)
                        static_cast<Reader*>(data)->askForHeaders();
                };
                e.process = [](void* data) { static_cast<Reader*>(data)->process(); };
                return e;
            }();
            pw_stream_add_listener(stream_, &listener_, &events, this);
            uint8_t buffer[1024];
            spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
            spa_video_info_raw info{};
            info.format = SPA_VIDEO_FORMAT_BGRA;
            info.size = SPA_RECTANGLE(kWidth, kHeight);
            info.framerate = SPA_FRACTION(30, 1);
            const spa_pod* params[] = {spa_format_video_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
            pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS),
                              params, 1);
        }
        pw_thread_loop_unlock(loop_);
    }
    ~Reader() {
        pw_thread_loop_stop(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        if (core_)
            pw_core_disconnect(core_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Latencies in milliseconds of the bench's frames received since the last call.
    std::vector<double> take() {
        std::lock_guard lock(mutex_);
        std::vector<double> taken;
        taken.swap(latencies_);
        return taken;
    }
    size_t received() const { return received_; }

private:
    // The frame's presentation time travels in the buffer header, which a reader must ask for.
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
        const int64_t arrival = monotonicNanoseconds();
        spa_buffer* b = buffer->buffer;
        const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
        uint64_t tag = 0;
        if (b->n_datas > 0 && b->datas[0].data && b->datas[0].chunk &&
            b->datas[0].chunk->size >= sizeof tag)
            std::memcpy(&tag,
                        static_cast<const uint8_t*>(b->datas[0].data) + b->datas[0].chunk->offset,
                        sizeof tag);
        if (tag == kTag && header && header->pts > 0) {
            std::lock_guard lock(mutex_);
            latencies_.push_back(static_cast<double>(arrival - header->pts) / 1e6);
            ++received_;
        }
        pw_stream_queue_buffer(stream_, buffer);
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    std::mutex mutex_;
    std::vector<double> latencies_;
    std::atomic<size_t> received_{0};
};

// --- One case -----------------------------------------------------------------------------------

struct Result {
    std::vector<double> latencies; // ms
    std::vector<double> sends;     // ms spent in send()
    uint64_t sent = 0;
    orlenta::PipeWireCameraSystem::Statistics before;
    orlenta::PipeWireCameraSystem::Statistics after;
};

// Frames at 30 per second on the video queue for warm-up plus `seconds`. With `fresh`, every
// frame is in a buffer the writer's stream has not carried recently (the pool is walked round
// a ring longer than the writer remembers), so each is copied.
Result runCase(orlenta::PipeWireCameraSystem& system, orlenta::VirtualCameraSink& sink,
               orlenta::SerialQueue& video, Reader& reader, double seconds, bool fresh) {
    orlenta::PixelBufferPool::Attributes attributes;
    attributes.maxBuffers = fresh ? 48 : 12;
    const auto pool = orlenta::PixelBufferPool::create(attributes);
    std::deque<std::shared_ptr<orlenta::PixelBuffer>> ring;
    Result result;
    std::mutex mutex;
    bool measuring = false;

    const auto start = Clock::now();
    const auto period = std::chrono::duration<double>(1 / kFramesPerSecond);
    for (uint64_t n = 0;; ++n) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(period * n);
        const double elapsed = std::chrono::duration<double>(due - start).count();
        if (elapsed >= kWarmUpSeconds + seconds)
            break;
        std::this_thread::sleep_until(due);
        if (!measuring && elapsed >= kWarmUpSeconds) {
            video.sync([] {});
            measuring = true;
            reader.take();
            result.before = system.statistics();
        }
        video.async([&, n, measuring] {
            std::shared_ptr<orlenta::PixelBuffer> buffer = pool->createPixelBuffer();
            if (!buffer)
                return;
            {
                orlenta::PixelBufferLock lock(*buffer);
                std::memset(lock.data(), static_cast<int>(n & 0xff), buffer->dataSize());
                std::memcpy(lock.data(), &kTag, sizeof kTag);
            }
            const auto sendStart = Clock::now();
            sink.send(buffer);
            const double took = milliseconds(Clock::now() - sendStart);
            if (fresh) {
                ring.push_back(buffer);
                if (ring.size() > 40)
                    ring.pop_front();
            }
            if (measuring) {
                std::lock_guard lock(mutex);
                result.sends.push_back(took);
                ++result.sent;
            }
        });
    }
    video.sync([] {});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    result.latencies = reader.take();
    result.after = system.statistics();
    video.sync([&] { ring.clear(); });
    return result;
}

void print(const char* name, const Result& r, double baseline) {
    const double p50 = percentile(r.latencies, 0.5);
    const double p99 = percentile(r.latencies, 0.99);
    const double worst =
        r.latencies.empty() ? 0 : *std::max_element(r.latencies.begin(), r.latencies.end());
    std::printf("%-22s %8.3f (%5.2f) %8.3f (%5.2f) %8.3f   %5zu/%-5llu %8.3f %8.3f  %llu/%llu\n",
                name, p50, p50 / baseline, p99, p99 / baseline, worst, r.latencies.size(),
                static_cast<unsigned long long>(r.sent), percentile(r.sends, 0.5),
                percentile(r.sends, 0.99),
                static_cast<unsigned long long>(r.after.framesShared - r.before.framesShared),
                static_cast<unsigned long long>(r.after.framesCopied - r.before.framesCopied));
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 10.0;
    const double baseline = baselineCopyMilliseconds();
    std::printf("baseline: copy of one 1280x720 BGRA frame %.3f ms\n\n", baseline);
    if (!startSession()) {
        std::printf("skipped: no private PipeWire session could be started\n");
        return 0;
    }
    int status = 0;
    {
        Daemon daemon;
        std::string error;
        auto system = orlenta::PipeWireCameraSystem::create({"bench_sink_latency", {}}, &error);
        orlenta::EventLoop main;
        orlenta::SerialQueue video("example.orlenta.camera.video");
        std::shared_ptr<orlenta::VirtualCameraSink> sink =
            system ? orlenta::VirtualCameraSink::create(system, main) : nullptr;
        bool connected = false;
        for (int i = 0; sink && daemon.started() && i < 500 && !connected; ++i) {
            video.sync([&] { connected = sink->connect(); });
            if (!connected)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!connected) {
            std::printf("skipped: the sink did not connect to the daemon %s\n", error.c_str());
            status = 1;
        } else {
            Reader reader;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::printf("send() to reader at %.0f fps, %.0f s per case after %.0f s warm-up\n",
                        kFramesPerSecond, seconds, kWarmUpSeconds);
            std::printf("%-22s %16s %16s %8s   %11s %8s %8s  %s\n", "case", "p50 ms (x base)",
                        "p99 ms (x base)", "max ms", "recv/sent", "send p50", "send p99",
                        "shared/copied");
            print("unknown buffers (copy)", runCase(*system, *sink, video, reader, seconds, true),
                  baseline);
            print("pool buffers (shared)", runCase(*system, *sink, video, reader, seconds, false),
                  baseline);
        }
        video.sync([&] { sink.reset(); });
    }
    stopSession();
    return status;
}

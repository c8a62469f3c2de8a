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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/sink/virtual_camera_sink.h"
#include "bench/bench_support.h"
#include "bench/virtual_camera_reader.h"
#include "camera_service/pipewire_camera_system.h"
#include "media/dispatch.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"

namespace {

using orlenta::bench::baselineCopyMilliseconds;
using orlenta::bench::ChildProcess;
using orlenta::bench::Clock;
using orlenta::bench::milliseconds;
using orlenta::bench::percentile;
using orlenta::bench::startPipeWireSession;
using orlenta::bench::stopPipeWireSession;
using orlenta::bench::VirtualCameraReader;

constexpr double kFramesPerSecond = 30;
constexpr double kWarmUpSeconds = 2;
// Marks the bench's frames (the first word of the picture), so that placeholder frames the
// daemon may send before the first of them are not counted.
constexpr uint64_t kTag = 0x4f524c454e544121ull;

// --- The private session -------------------------------------------------------------------------

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

// Latencies of the bench's frames as a reader of the virtual camera gets them.
class Reader {
public:
    Reader() : reader_([this](const VirtualCameraReader::Frame& frame) { onFrame(frame); }) {}

    // Latencies in milliseconds of the bench's frames received since the last call.
    std::vector<double> take() {
        std::lock_guard lock(mutex_);
        std::vector<double> taken;
        taken.swap(latencies_);
        return taken;
    }

private:
    void onFrame(const VirtualCameraReader::Frame& frame) {
        uint64_t tag = 0;
        if (frame.size >= sizeof tag)
            std::memcpy(&tag, frame.pixels, sizeof tag);
        if (tag == kTag && frame.pts > 0) {
            std::lock_guard lock(mutex_);
            latencies_.push_back(static_cast<double>(frame.arrival - frame.pts) / 1e6);
        }
    }

    std::mutex mutex_;
    std::vector<double> latencies_;
    VirtualCameraReader reader_; // last: stopped before the rest goes
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
        ChildProcess daemon(ORLENTA_EXTENSION_BINARY, sessionDirectory() + "/daemon.log");
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

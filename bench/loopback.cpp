// The V4L2 loopback output's cost.
//
// 1. Converting one 1280 x 720 BGRA frame to YUYV (what the output does per frame), as a time and
//    as a ratio to one plain copy of such a frame measured in the same run.
// 2. The daemon's CPU at 30 frames a second without and with the V4L2 output: the real device
//    source, timer queue and loopback output (its own thread, conversion included) in this
//    process, fed the app's frames at 30 fps as the PipeWire loop hands them over (each copied
//    into a daemon buffer first, as there). The camera service is the in-memory one, so
//    PipeWire's own share is not in these figures, and the V4L2 device is a STAND-IN writer that
//    copies each frame into a buffer of its own as the loopback module copies it into the
//    device's: no kernel module can be loaded where this runs. CPU is this process's CPU time
//    over the run, as a share of one core.
//
// Usage: bench_loopback [seconds per case] (default 10)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "camera_service/virtual_camera.h"
#include "extension/extension_device_source.h"
#include "extension/loopback_output.h"
#include "extension/timer_queue.h"
#include "media/dispatch.h"
#include "tests/testing/camera_service_memory.h"

namespace {

using namespace orlenta;
using bench::Clock;
using bench::milliseconds;

double processCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::shared_ptr<PixelBuffer> picture(uint8_t seed) {
    auto buffer = PixelBuffer::create(1280, 720);
    PixelBufferLock lock(*buffer);
    for (size_t i = 0; i < buffer->dataSize(); ++i)
        lock.data()[i] = static_cast<uint8_t>(i * 7 + seed);
    return buffer;
}

// Copies every frame, as the loopback module copies it into the device's buffer.
class StandInWriter final : public loopback::Writer {
public:
    bool open(const std::string&, std::string*) override {
        device_.resize(loopback::kFrameBytes);
        return true;
    }
    Written write(const uint8_t* frame, size_t size, std::string*) override {
        std::memcpy(device_.data(), frame, std::min(size, device_.size()));
        return Written::frame;
    }

private:
    std::vector<uint8_t> device_;
};

// CPU share of one core while the app's frames arrive at 30 fps for `seconds`.
double daemonCpu(bool withOutput, double seconds, long* written) {
    ManualExecutor serviceQueue;
    auto service = MemoryCameraService::create(serviceQueue);
    std::shared_ptr<LoopbackOutput> output;
    std::atomic<long> frames{0};
    if (withOutput) {
        LoopbackOutput::Environment environment;
        environment.findDevice = [] { return std::optional<std::string>("/dev/video-stand-in"); };
        environment.makeWriter = [] { return std::make_unique<StandInWriter>(); };
        output = std::make_shared<LoopbackOutput>(environment);
        output->start();
    }
    ExtensionDeviceSource::Environment environment;
    environment.service = service;
    environment.timerQueue = std::make_shared<SerialTimerQueue>("bench.timer");
    environment.secondOutput = output;
    auto device = ExtensionDeviceSource::create("Orlenta Camera", environment);
    while (output && !output->wantsFrames())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const auto app = picture(3);
    PixelBufferPool::Attributes attributes;
    attributes.maxBuffers = 6;
    auto pool = PixelBufferPool::create(attributes);
    const auto format = *VideoFormatDescription::forImageBuffer(*app);
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(virtual_camera::kFrameDuration.seconds()));
    auto next = start;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_until(next);
        next += period;
        auto buffer = pool->createPixelBuffer();
        if (!buffer)
            continue;
        {
            PixelBufferLock from(*app);
            PixelBufferLock to(*buffer);
            std::memcpy(to.data(), from.data(), app->dataSize());
        }
        ConsumedSampleBuffer consumed;
        consumed.sampleBuffer = SampleBuffer::createReady(buffer, format, {});
        device->handleConsumedBuffer(consumed, nullptr);
        ++frames;
    }
    const double cpu = processCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    *written = frames;
    device.reset();
    return cpu / wall;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const double copy = bench::baselineCopyMilliseconds();

    const auto frame = picture(1);
    std::vector<uint8_t> yuyv(loopback::kFrameBytes);
    std::vector<double> times;
    {
        PixelBufferLock lock(*frame);
        for (int i = 0; i < 200; ++i) {
            const auto start = Clock::now();
            loopback::convertBgraToYuyv(lock.data(), frame->bytesPerRow(), 1280, 720, yuyv.data(),
                                        loopback::kBytesPerLine);
            times.push_back(milliseconds(Clock::now() - start));
        }
    }
    const double convert = bench::percentile(times, 0.5);
    std::printf("baseline: one 1280x720 BGRA copy %.3f ms\n", copy);
    std::printf("BGRA -> YUYV 1280x720: median %.3f ms, p95 %.3f ms (%.1fx the copy)\n", convert,
                bench::percentile(times, 0.95), convert / copy);

    long frames = 0;
    const double without = daemonCpu(false, seconds, &frames);
    std::printf("daemon at 30 fps, no V4L2 output: %.1f %% of a core (%ld frames)\n", without * 100,
                frames);
    const double with = daemonCpu(true, seconds, &frames);
    std::printf("daemon at 30 fps, V4L2 output to a STAND-IN writer (no real device, no kernel "
                "module): %.1f %% of a core (%ld frames); %.1fx without\n",
                with * 100, frames, without > 0 ? with / without : 0.0);
    std::printf("(in-memory camera service: PipeWire's own share is in neither figure)\n");
    return 0;
}

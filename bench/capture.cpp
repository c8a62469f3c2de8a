// Times the capture path for YUY2 and MJPEG cameras at 1280 x 720 and 1920 x 1080:
//
//   conversion  the session's GStreamer branch on one frame (jpegdec for MJPEG; raw YUY2 passes
//               through), pushed through appsrc and pulled from appsink on one thread; the
//               conversion into a BGRA pool buffer that the video queue makes; and, for
//               comparison, the branch had videoconvert made BGRA instead;
//   latency     from the moment a PipeWire camera (a test camera node in a private PipeWire
//               session) hands a frame over to the moment the frame handler on the video queue
//               starts on it; once with an idle queue, once with a queue that spends 45 ms on each
//               frame, where the appsink's newest-frame-wins rule matters.
//
// Each time is printed with its ratio to one plain copy of a 1280 x 720 BGRA frame measured in
// the same run.
//
// Usage: bench_capture [seconds of latency measurement per case] (default 2)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/capture/capture_gstreamer.h"
#include "app/capture/picture_conversion.h"
#include "bench/bench_support.h"
#include "media/dispatch.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "tests/testing/test_camera.h"

namespace {

using orlenta::bench::baselineCopyMilliseconds;
using orlenta::bench::Clock;
using orlenta::bench::milliseconds;
using orlenta::bench::percentile;
using orlenta::bench::startPipeWireSession;
using orlenta::bench::stopPipeWireSession;
using orlenta::testing::TestCamera;

struct Case {
    const char* name;
    TestCamera::Format format;
    int width;
    int height;
};

// Camera-like content: gradients with noise, so that JPEG has work to do.
cv::Mat cameraPicture(int width, int height) {
    cv::Mat picture(height, width, CV_8UC3);
    cv::Mat noise(height, width, CV_8UC3);
    cv::RNG rng(20240611);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 48);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto n = noise.at<cv::Vec3b>(y, x);
            picture.at<cv::Vec3b>(y, x) = {
                static_cast<uchar>(x * 200 / width + n[0]),
                static_cast<uchar>(y * 200 / height + n[1]),
                static_cast<uchar>((x + y) * 100 / (width + height) + n[2])};
        }
    return picture;
}

std::vector<uint8_t> cameraBytes(const Case& c) {
    const cv::Mat picture = cameraPicture(c.width, c.height);
    if (c.format == TestCamera::Format::mjpeg) {
        std::vector<uint8_t> jpeg;
        cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
        return jpeg;
    }
    // YUY2 from the green channel as luma and fixed chroma: the converter's cost does not
    // depend on the values.
    std::vector<uint8_t> yuy2(static_cast<size_t>(c.width) * c.height * 2);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            uint8_t* p = yuy2.data() + (static_cast<size_t>(y) * c.width + x) * 2;
            p[0] = picture.at<cv::Vec3b>(y, x)[1];
            p[1] = static_cast<uint8_t>(x % 2 == 0 ? 110 : 150);
        }
    return yuy2;
}

struct Conversion {
    double branch = 0;      // median ms on GStreamer's thread: jpegdec for MJPEG, nothing for YUY2
    double convert = 0;     // median ms on the video queue: the picture into a BGRA pool buffer
    double alternative = 0; // median ms of videoconvert to BGRA on GStreamer's thread instead
};

std::string capsOf(const Case& c) {
    const std::string size =
        ",width=" + std::to_string(c.width) + ",height=" + std::to_string(c.height);
    return c.format == TestCamera::Format::mjpeg
               ? "image/jpeg" + size + ",framerate=30/1"
               : "video/x-raw,format=YUY2" + size + ",framerate=30/1";
}

// Runs frames through appsrc ! branch ! appsink on this thread; the median of the push-to-pull
// times, and `each` called on every sample pulled.
template <typename Each>
double runBranch(const Case& c, const std::string& branch, int frames, Each each) {
    const std::string description = "appsrc name=source format=time caps=\"" + capsOf(c) + "\" ! " +
                                    branch + " ! appsink name=sink sync=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline)
        return 0;
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::vector<uint8_t> bytes = cameraBytes(c);
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
        GstBuffer* buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(i) * GST_SECOND / 30;
        const auto start = Clock::now();
        gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
        GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
        times.push_back(milliseconds(Clock::now() - start));
        if (!sample)
            break;
        each(sample);
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(source);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return percentile(times, 0.5);
}

Conversion measureConversion(const Case& c, int frames) {
    orlenta::PixelBufferPool::Attributes attributes;
    attributes.width = c.width;
    attributes.height = c.height;
    attributes.maxBuffers = 2;
    auto pool = orlenta::PixelBufferPool::create(attributes);
    const std::string decode = c.format == TestCamera::Format::mjpeg ? "jpegdec ! " : "";

    // What the session does: decode only, then the conversion into a pool buffer.
    std::vector<double> convertTimes;
    Conversion result;
    result.branch = runBranch(
        c, decode + "videoconvert ! video/x-raw,format=(string){ YUY2, NV12, I420, UYVY, BGRA }",
        frames, [&](GstSample* sample) {
            GstVideoInfo info;
            GstVideoFrame frame;
            if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) ||
                !gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ))
                return;
            orlenta::CameraPicture picture;
            picture.format = GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_YUY2
                                 ? orlenta::CameraPixelFormat::yuy2
                                 : orlenta::CameraPixelFormat::i420;
            picture.width = c.width;
            picture.height = c.height;
            for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&frame) && i < 3; ++i) {
                picture.planes[i] =
                    static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i));
                picture.strides[i] = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i));
            }
            auto pixels = pool->createPixelBuffer();
            const auto start = Clock::now();
            if (pixels && orlenta::convertCameraPicture(picture, *pixels))
                convertTimes.push_back(milliseconds(Clock::now() - start));
            gst_video_frame_unmap(&frame);
        });
    result.convert = percentile(convertTimes, 0.5);

    // The alternative: videoconvert to BGRA on GStreamer's thread (a copy into the pool buffer
    // would still follow on the video queue).
    result.alternative =
        runBranch(c, decode + "videoconvert ! video/x-raw,format=BGRA", frames, [](GstSample*) {});
    return result;
}

// The private PipeWire session for the latency cases.
std::string sessionScript() {
    return std::string(ORLENTA_SOURCE_DIR) + "/scripts/pipewire-session";
}

bool startSession(std::string* dir) {
    *dir = std::string(ORLENTA_BINARY_DIR) + "/pipewire-session/bench";
    return startPipeWireSession(sessionScript(), *dir);
}

void stopSession(const std::string& dir) {
    stopPipeWireSession(sessionScript(), dir);
}

struct Latency {
    double median = 0;
    double p95 = 0;
    size_t received = 0;
    uint64_t sent = 0;
};

Latency measureLatency(orlenta::GStreamerCaptureSystem& system, const Case& c, double seconds,
                       double workMilliseconds, orlenta::ManualExecutor& main) {
    TestCamera::Options options;
    options.nodeName = std::string("orlenta-bench.") + c.name;
    options.description = std::string("Bench ") + c.name;
    options.format = c.format;
    options.width = c.width;
    options.height = c.height;
    TestCamera camera(options);
    const std::string id = "pipewire:" + options.nodeName;
    if (!camera.started() ||
        !main.runUntil([&] { return system.deviceWithUniqueID(id).has_value(); }, 3))
        return {};

    orlenta::SerialQueue queue("bench.video");
    std::mutex mutex;
    std::vector<double> latencies;
    bool recording = false;
    auto session = system.makeSession();
    session->setFrameHandler(
        [&](std::shared_ptr<orlenta::SampleBuffer> sample) {
            const double now = orlenta::currentMediaTime();
            orlenta::PixelBuffer& image = *sample->imageBuffer();
            std::optional<int> tag;
            {
                orlenta::PixelBufferLock lock(image);
                tag = TestCamera::readTag(lock.data(), image.width(), image.height(),
                                          image.bytesPerRow());
            }
            const double sent = tag ? camera.sendTime(*tag).value_or(-1) : -1;
            {
                std::lock_guard guard(mutex);
                if (recording && sent >= 0 && now >= sent)
                    latencies.push_back((now - sent) * 1000);
            }
            if (workMilliseconds > 0)
                std::this_thread::sleep_for(
                    std::chrono::duration<double, std::milli>(workMilliseconds));
        },
        &queue);
    queue.sync([&] {
        session->setInput(*system.deviceWithUniqueID(id));
        session->startRunning();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // warm-up
    const uint64_t sentBefore = camera.framesSent();
    {
        std::lock_guard guard(mutex);
        recording = true;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Latency result;
    {
        std::lock_guard guard(mutex);
        recording = false;
        result.median = percentile(latencies, 0.5);
        result.p95 = percentile(latencies, 0.95);
        result.received = latencies.size();
    }
    result.sent = camera.framesSent() - sentBefore;
    queue.sync([&] { session->stopRunning(); });
    session->setFrameHandler(nullptr, nullptr);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::max(0.5, std::atof(argv[1])) : 2.0;
    gst_init(nullptr, nullptr);
    const Case cases[] = {{"yuy2-720p", TestCamera::Format::yuy2, 1280, 720},
                          {"yuy2-1080p", TestCamera::Format::yuy2, 1920, 1080},
                          {"mjpeg-720p", TestCamera::Format::mjpeg, 1280, 720},
                          {"mjpeg-1080p", TestCamera::Format::mjpeg, 1920, 1080}};

    const double baseline = baselineCopyMilliseconds();
    std::printf("baseline: copy of one 1280x720 BGRA frame %.3f ms\n\n", baseline);
    std::printf("conversion per frame, median of 60, ms (x baseline)\n");
    std::printf("%-12s %20s %20s %24s\n", "case", "GStreamer thread", "video queue",
                "alternative: videoconvert");
    for (const Case& c : cases) {
        const Conversion r = measureConversion(c, 60);
        std::printf("%-12s %10.2f (%6.1f) %10.2f (%6.1f) %14.2f (%6.1f)\n", c.name, r.branch,
                    r.branch / baseline, r.convert, r.convert / baseline, r.alternative,
                    r.alternative / baseline);
    }

    std::string dir;
    if (!startSession(&dir)) {
        std::printf("\nlatency: skipped, no private PipeWire session could be started\n");
        return 0;
    }
    orlenta::ManualExecutor main;
    std::string error;
    auto system = orlenta::GStreamerCaptureSystem::create(main, {}, &error);
    if (!system) {
        std::printf("\nlatency: skipped, %s\n", error.c_str());
        stopSession(dir);
        return 0;
    }
    std::printf(
        "\nlatency from the camera handing a frame to PipeWire to the frame handler, 30 fps,"
        " %.1f s per case\n",
        seconds);
    std::printf("%-12s %-10s %10s %10s %10s %16s\n", "case", "queue", "median ms", "p95 ms",
                "p95 (x)", "handled/sent");
    for (const Case& c : cases) {
        for (const double work : {0.0, 45.0}) {
            const Latency r = measureLatency(*system, c, seconds, work, main);
            std::printf("%-12s %-10s %10.2f %10.2f %10.1f %9zu/%-6llu\n", c.name,
                        work > 0 ? "busy 45ms" : "idle", r.median, r.p95, r.p95 / baseline,
                        r.received, static_cast<unsigned long long>(r.sent));
        }
    }
    system.reset();
    stopSession(dir);
    return 0;
}

// Times the app's per-frame path stage by stage over a video (the demo clip by default): fit
// (scale the camera picture into the 1280 x 720 base buffer), detect, track, cover (one copy of
// the frame into the output buffer plus the hidden faces' patches; the covered picture is
// written straight into the output buffer, so this is also the render) and the total. Prints the
// median and 95th percentile of each, and the total's ratio to one plain copy of a 1280 x 720
// BGRA frame measured in the same run. OpenCV runs on 2 threads, as in the app.
//
// Usage: bench_frame_path [video (default: the demo clip)] [passes over it (default 3)]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/cover_renderer.h"
#include "app/pipeline/face_detector.h"
#include "app/tracking/face_tracker.h"
#include "tools/orlenta_cover/media_files.h"

namespace {

using Clock = std::chrono::steady_clock;
using orlenta::CameraPipeline;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Stage {
    const char* name;
    std::vector<double> ms;
    double at(double q) {
        std::sort(ms.begin(), ms.end());
        return ms.empty() ? 0
                          : ms[std::min(ms.size() - 1, static_cast<size_t>(q * double(ms.size())))];
    }
};

cv::Mat view(orlenta::PixelBuffer& b) {
    return cv::Mat(b.height(), b.width(), CV_8UC4, b.baseAddress(), b.bytesPerRow());
}

} // namespace

int main(int argc, char** argv) {
    const std::string video =
        argc > 1 ? argv[1] : std::string(ORLENTA_SOURCE_DIR) + "/demo/orlenta-demo.webm";
    const int passes = argc > 2 ? std::atoi(argv[2]) : 3;
    if (passes <= 0) {
        std::fprintf(stderr, "bench_frame_path: the number of passes must be positive\n");
        return 2;
    }
    cv::setNumThreads(2);

    std::string error;
    auto detector = orlenta::loadFaceDetector(orlenta::defaultFaceModelPath(), &error);
    if (!detector) {
        std::fprintf(stderr, "bench_frame_path: cannot load the face model: %s\n", error.c_str());
        return 1;
    }
    auto reader = orlenta::MediaReader::open(video, &error);
    if (!reader) {
        std::fprintf(stderr, "bench_frame_path: %s\n", error.c_str());
        return 1;
    }
    // Decode everything first so that decoding is not timed.
    std::vector<std::shared_ptr<orlenta::PixelBuffer>> frames;
    std::vector<double> times;
    cv::Mat bgra;
    double seconds = 0;
    while (reader->read(bgra, seconds)) {
        auto buffer = orlenta::PixelBuffer::create(bgra.cols, bgra.rows);
        if (!buffer)
            return 1;
        orlenta::PixelBufferLock lock(*buffer);
        bgra.copyTo(view(*buffer));
        frames.push_back(buffer);
        times.push_back(seconds);
    }
    if (frames.empty()) {
        std::fprintf(stderr, "bench_frame_path: no frames in %s\n", video.c_str());
        return 1;
    }

    auto base = orlenta::PixelBuffer::create(1280, 720);
    auto output = orlenta::PixelBuffer::create(1280, 720);
    orlenta::PixelBufferLock baseLock(*base);
    orlenta::PixelBufferLock outputLock(*output);
    cv::Mat baseMat = view(*base);
    cv::Mat outputMat = view(*output);

    Stage fit{"fit", {}}, detect{"detect", {}}, track{"track", {}}, cover{"cover", {}},
        total{"total", {}}, copy{"frame copy", {}};
    size_t faceCount = 0;
    for (int pass = 0; pass < passes; ++pass) {
        orlenta::FaceTracker tracker;
        for (size_t i = 0; i < frames.size(); ++i) {
            const auto start = Clock::now();
            CameraPipeline::renderFit(*frames[i], *base);
            fit.ms.push_back(msSince(start));

            auto t = Clock::now();
            auto observations = detector->detect(baseMat);
            std::vector<orlenta::Detection> detections;
            if (observations)
                for (const auto& o : *observations)
                    detections.push_back({{o.boundingBox.x * 1280, o.boundingBox.y * 720,
                                           o.boundingBox.width * 1280, o.boundingBox.height * 720},
                                          o.yaw.value_or(0)});
            detect.ms.push_back(msSince(t));

            t = Clock::now();
            auto faces = tracker.update(detections, times[i] + pass * 1000.0);
            std::vector<orlenta::Rect> hidden;
            for (const auto& f : faces)
                if (!f.shown)
                    hidden.push_back(f.rect);
            track.ms.push_back(msSince(t));

            t = Clock::now();
            orlenta::coverFaces(baseMat, hidden, orlenta::CoverStyle::blur, outputMat);
            cover.ms.push_back(msSince(t));
            total.ms.push_back(msSince(start));
            faceCount += hidden.size();

            t = Clock::now();
            baseMat.copyTo(outputMat);
            copy.ms.push_back(msSince(t));
        }
    }

    const double copyMedian = copy.at(0.5);
    std::printf("frame path over %zu frames (%d passes of %s), blur style, %zu hidden faces\n",
                total.ms.size(), passes, video.c_str(), faceCount);
    std::printf("%-12s %10s %10s %12s\n", "stage", "p50 ms", "p95 ms", "p50 x copy");
    for (Stage* s : {&fit, &detect, &track, &cover, &total, &copy})
        std::printf("%-12s %10.3f %10.3f %12.1f\n", s->name, s->at(0.5), s->at(0.95),
                    s->at(0.5) / copyMedian);
    const double p95 = total.at(0.95);
    std::printf("target: total p95 %.2f ms (target <= 20 ms): %s\n", p95,
                p95 <= 20.0 ? "met" : "NOT met");
    return 0;
}

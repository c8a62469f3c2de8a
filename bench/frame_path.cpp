// Times the app's per-frame path stage by stage: fit (scale the camera picture into the 1280 x 720
// base buffer), detect (every pass of a video frame, each pass also on its own), track, cover
// (the covered picture drawn in a private buffer, then copied into the output buffer) and the
// total. Runs over two videos: the demo clip, and a close-up made from the astronaut picture (her
// face growing from 35 to 65 % of the frame's width, as someone leaning towards a laptop).
// Prints the median and 95th percentile of each, and the total's ratio to one plain copy of a
// 1280 x 720 BGRA frame measured in the same run. The detector runs on 2 threads, as in the app.
//
// Usage: bench_frame_path [video (default: the demo clip)] [passes over it (default 3)]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

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
    const int passes_ = argc > 2 ? std::atoi(argv[2]) : 3;
    if (passes_ <= 0) {
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

    // The close-up: the astronaut's face (about 95 px wide in the 512 px picture) scaled so that
    // it fills 35 % of the frame's width at first and 65 % at the end, drifting a little.
    std::vector<std::shared_ptr<orlenta::PixelBuffer>> closeUp;
    std::vector<double> closeUpTimes;
    {
        cv::Mat picture = cv::imread(std::string(ORLENTA_SOURCE_DIR) + "/tests/data/astronaut.png",
                                     cv::IMREAD_COLOR);
        cv::cvtColor(picture, picture, cv::COLOR_BGR2BGRA);
        const cv::Point2d face(227, 140);
        for (int i = 0; i < 150; ++i) {
            const double share = 0.35 + 0.30 * i / 149.0;
            const double scale = share * 1280 / 95;
            const double dx = 40 * std::sin(i / 20.0);
            cv::Mat affine = (cv::Mat_<double>(2, 3) << scale, 0, 640 + dx - face.x * scale, 0,
                              scale, 330 - face.y * scale);
            auto buffer = orlenta::PixelBuffer::create(1280, 720);
            orlenta::PixelBufferLock lock(*buffer);
            cv::Mat target = view(*buffer);
            cv::warpAffine(picture, target, affine, target.size(), cv::INTER_LINEAR,
                           cv::BORDER_REPLICATE);
            closeUp.push_back(buffer);
            closeUpTimes.push_back(i / 30.0);
        }
    }

    auto base = orlenta::PixelBuffer::create(1280, 720);
    auto covered = orlenta::PixelBuffer::create(1280, 720);
    auto output = orlenta::PixelBuffer::create(1280, 720);
    orlenta::PixelBufferLock baseLock(*base);
    orlenta::PixelBufferLock coveredLock(*covered);
    orlenta::PixelBufferLock outputLock(*output);
    cv::Mat baseMat = view(*base);
    cv::Mat coveredMat = view(*covered);
    cv::Mat outputMat = view(*output);

    Stage copy{"frame copy", {}};
    for (int i = 0; i < 300; ++i) {
        const auto t = Clock::now();
        baseMat.copyTo(outputMat);
        copy.ms.push_back(msSince(t));
    }
    const double copyMedian = copy.at(0.5);
    std::printf("one 1280x720 BGRA frame copy: median %.3f ms\n", copyMedian);

    bool allMet = true;
    const auto run = [&](const char* title,
                         const std::vector<std::shared_ptr<orlenta::PixelBuffer>>& clip,
                         const std::vector<double>& clipTimes) {
        Stage fit{"fit", {}}, detect{"detect", {}}, track{"track", {}}, cover{"cover", {}},
            total{"total", {}};
        std::map<std::string, Stage> passes;
        size_t faceCount = 0;
        for (int pass = 0; pass < passes_; ++pass) {
            orlenta::FaceTracker tracker;
            for (size_t i = 0; i < clip.size(); ++i) {
                const auto start = Clock::now();
                CameraPipeline::renderFit(*clip[i], *base);
                fit.ms.push_back(msSince(start));

                auto t = Clock::now();
                auto observations = detector->detect(baseMat);
                std::vector<orlenta::Detection> detections;
                if (observations)
                    for (const auto& o : *observations)
                        detections.push_back(
                            {{o.boundingBox.x * 1280, o.boundingBox.y * 720,
                              o.boundingBox.width * 1280, o.boundingBox.height * 720},
                             o.yaw.value_or(0)});
                detect.ms.push_back(msSince(t));
                for (const auto& cost : detector->lastPassCosts()) {
                    const std::string name =
                        cost.pass.rfind("tile", 0) == 0 ? "  one tile" : "  " + cost.pass;
                    passes.try_emplace(name, Stage{nullptr, {}});
                    passes[name].ms.push_back(cost.milliseconds);
                }

                t = Clock::now();
                auto faces = tracker.update(detections, clipTimes[i] + pass * 1000.0);
                std::vector<orlenta::Rect> hidden;
                for (const auto& f : faces)
                    if (!f.shown)
                        hidden.push_back(f.rect);
                track.ms.push_back(msSince(t));

                t = Clock::now();
                orlenta::coverFaces(baseMat, hidden, orlenta::CoverStyle::blur, coveredMat);
                coveredMat.copyTo(outputMat);
                cover.ms.push_back(msSince(t));
                total.ms.push_back(msSince(start));
                faceCount += hidden.size();
            }
        }
        std::printf("\n%s: %zu frames (%d passes), blur style, %zu hidden faces\n", title,
                    total.ms.size(), passes_, faceCount);
        std::printf("%-12s %10s %10s %12s\n", "stage", "p50 ms", "p95 ms", "p50 x copy");
        const auto row = [&](const std::string& name, Stage& st) {
            std::printf("%-12s %10.3f %10.3f %12.1f\n", name.c_str(), st.at(0.5), st.at(0.95),
                        st.at(0.5) / copyMedian);
        };
        row("fit", fit);
        row("detect", detect);
        for (auto& [name, st] : passes)
            row(name, st);
        row("track", track);
        row("cover", cover);
        row("total", total);
        const double p95 = total.at(0.95);
        std::printf("target: total p95 %.2f ms (target <= 20 ms): %s\n", p95,
                    p95 <= 20.0 ? "met" : "NOT met");
        allMet = allMet && p95 <= 20.0;
    };
    run(video.c_str(), frames, times);
    run("close-up (astronaut, 35 to 65 % of the width)", closeUp, closeUpTimes);
    return 0;
}

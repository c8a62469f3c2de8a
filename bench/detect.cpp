// Times the face detector's whole detect() (resize, colour conversion, inference, decoding and
// suppression) on a 1280 x 720 BGRA frame holding one face, on 1 and on 2 OpenCV threads, and
// prints the median and 95th percentile of each with its ratio to the median of one plain copy of
// the same frame, measured in the same run.
//
// Usage: bench_detect [frames per thread count (default 150)] [model file (default: installed or
// in-tree model)]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/pipeline/face_detector.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int frameWidth = 1280;
constexpr int frameHeight = 720;
constexpr int warmUpRuns = 10;

struct Timing {
    double median = 0;
    double p95 = 0;
};

// Milliseconds per run of `work`, `runs` times after a short warm-up.
template <typename Work> Timing measure(int runs, Work&& work) {
    for (int i = 0; i < warmUpRuns; ++i)
        work();
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    };
    return {at(0.5), at(0.95)};
}

// The test picture of a face on a textured background; the texture alone when the picture is not
// there.
cv::Mat benchFrame() {
    cv::Mat frame(frameHeight, frameWidth, CV_8UC4);
    cv::RNG rng(11);
    rng.fill(frame, cv::RNG::UNIFORM, 40, 200);
    cv::GaussianBlur(frame, frame, cv::Size(7, 7), 2);
    const cv::Mat picture =
        cv::imread(std::string(ORLENTA_SOURCE_DIR) + "/tests/data/astronaut.png", cv::IMREAD_COLOR);
    if (!picture.empty()) {
        cv::Mat bgra;
        cv::cvtColor(picture, bgra, cv::COLOR_BGR2BGRA);
        bgra.copyTo(frame(cv::Rect(cv::Point(384, 104), bgra.size())));
    }
    frame.forEach<cv::Vec4b>([](cv::Vec4b& px, const int*) { px[3] = 255; });
    return frame;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 150;
    if (runs <= 0) {
        std::fprintf(stderr, "bench_detect: the frame count must be a positive number\n");
        return 2;
    }
    const std::string model = argc > 2 ? argv[2] : orlenta::defaultFaceModelPath();
    std::string error;
    auto detector = orlenta::loadFaceDetector(model, &error);
    if (!detector) {
        std::fprintf(stderr, "bench_detect: %s\n", error.c_str());
        return 1;
    }

    const cv::Mat frame = benchFrame();
    cv::Mat copy(frame.size(), frame.type());
    std::size_t faces = 0;
    const int threadsBefore = cv::getNumThreads();

    std::printf("model: %s, score threshold %.2f\n", model.c_str(),
                static_cast<double>(orlenta::defaultFaceScoreThreshold));
    std::printf("%d frames of %dx%d BGRA per case\n", runs, frameWidth, frameHeight);
    const Timing base = measure(std::max(runs, 200), [&] { frame.copyTo(copy); });
    std::printf("baseline, one frame copy: median %.3f ms\n", base.median);
    for (const int threads : {1, 2}) {
        cv::setNumThreads(threads);
        const Timing t = measure(runs, [&] {
            const auto found = detector->detect(frame);
            faces = found ? found->size() : 0;
        });
        std::printf("detect, %d thread%s: median %.2f ms (%.0f x copy), p95 %.2f ms (%.0f x copy), "
                    "%zu face%s\n",
                    threads, threads == 1 ? "" : "s", t.median, t.median / base.median, t.p95,
                    t.p95 / base.median, faces, faces == 1 ? "" : "s");
    }
    cv::setNumThreads(threadsBefore);
    return 0;
}

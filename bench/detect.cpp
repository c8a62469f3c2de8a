// Times face detection on a 1280 x 720 BGRA frame holding one face, with both inference engines
// (XNNPACK and OpenCV dnn) side by side in the same run:
//   - each network input size alone (inference only), on 1 and 2 threads;
//   - the detector's whole detect() (every pass of a video frame: scaling, colour conversion,
//     inference, decoding, suppression), on 1 and 2 threads, with each pass's share.
// Every figure is printed as the median and 95th percentile and as a ratio to the median of one
// plain copy of the same frame, measured in the same run; the last lines give XNNPACK's time as a
// share of OpenCV dnn's.
//
// Usage: bench_detect [frames per case (default 150)] [model file (default: installed or in-tree
// model)]

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/pipeline/face_detector.h"
#include "app/pipeline/face_network.h"
#include "bench/bench_support.h"

namespace {

using orlenta::FaceEngine;
using orlenta::bench::Clock;

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
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        ms.push_back(orlenta::bench::milliseconds(Clock::now() - start));
    }
    return {orlenta::bench::percentile(ms, 0.5), orlenta::bench::percentile(ms, 0.95)};
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

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::vector<std::string> outputs = {"Identity:0", "Identity_2:0", "Identity_1:0",
                                          "Identity_3:0"};

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 150;
    if (runs <= 0) {
        std::fprintf(stderr, "bench_detect: the frame count must be a positive number\n");
        return 2;
    }
    const std::string model = argc > 2 ? argv[2] : orlenta::defaultFaceModelPath();
    const std::vector<char> bytes = readFile(model);
    std::string error;
    const auto graph = orlenta::parseOnnxModel(bytes, &error);
    const auto xnnModel = graph ? orlenta::prepareXnnpackFaceModel(*graph, &error) : nullptr;
    if (!xnnModel) {
        std::fprintf(stderr, "bench_detect: %s: %s\n", model.c_str(), error.c_str());
        return 1;
    }

    const cv::Mat frame = benchFrame();
    cv::Mat copy(frame.size(), frame.type());
    const int threadsBefore = cv::getNumThreads();
    std::printf("model: %s, score threshold %.2f\n", model.c_str(),
                static_cast<double>(orlenta::defaultFaceScoreThreshold));
    std::printf("%d runs per case; 1280x720 BGRA frame\n", runs);
    const double base = measure(std::max(runs, 200), [&] { frame.copyTo(copy); }).median;
    std::printf("baseline, one frame copy: median %.3f ms\n\n", base);
    const auto line = [&](const std::string& what, const Timing& t) {
        std::printf("%-36s median %7.2f ms (%5.0f x copy)  p95 %7.2f ms (%5.0f x copy)\n",
                    what.c_str(), t.median, t.median / base, t.p95, t.p95 / base);
    };

    std::map<std::string, double> medians; // "<what> <engine> <threads>" -> median
    const std::string dir = model.substr(0, model.find_last_of('/') + 1);
    std::printf("inference alone, per input size\n");
    for (const auto& [w, h] :
         {std::pair{448, 256}, std::pair{384, 224}, std::pair{320, 192}, std::pair{128, 128}}) {
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        for (const int threads : {1, 2}) {
            cv::setNumThreads(threads);
            auto xnn = orlenta::makeXnnpackFaceNetwork(xnnModel, w, h, outputs, threads, &error);
            const std::vector<char> sized = readFile(dir + "face_detection_back_" + size + ".onnx");
            auto cvNet = sized.empty()
                             ? nullptr
                             : orlenta::makeOpenCvFaceNetwork(sized, w, h, outputs, &error);
            for (orlenta::FaceNetwork* net : {xnn.get(), cvNet.get()}) {
                if (!net)
                    continue;
                const std::string key = size + " " + orlenta::faceEngineName(net->engine()) + " " +
                                        std::to_string(threads);
                const Timing t = measure(runs, [&] { net->run(); });
                medians[key] = t.median;
                line(key + (threads == 1 ? " thread" : " threads"), t);
            }
        }
    }

    std::printf("\ndetect(), every pass of a video frame\n");
    for (const FaceEngine engine : {FaceEngine::xnnpack, FaceEngine::opencv}) {
        for (const int threads : {1, 2}) {
            cv::setNumThreads(threads);
            orlenta::FaceDetectorOptions options;
            options.engine = engine;
            options.threads = threads;
            auto detector = orlenta::loadFaceDetector(model, &error, options);
            if (!detector) {
                std::printf("%s: %s\n", orlenta::faceEngineName(engine), error.c_str());
                continue;
            }
            std::map<std::string, std::vector<double>> passes;
            std::size_t faces = 0;
            const Timing t = measure(runs, [&] {
                const auto found = detector->detect(frame);
                faces = found ? found->size() : 0;
                for (const auto& cost : detector->lastPassCosts())
                    passes[cost.pass.rfind("tile", 0) == 0 ? "one tile" : cost.pass].push_back(
                        cost.milliseconds);
            });
            const std::string key = std::string("detect ") + orlenta::faceEngineName(engine) + " " +
                                    std::to_string(threads);
            medians[key] = t.median;
            line(key + (threads == 1 ? " thread" : " threads") + ", " + std::to_string(faces) +
                     " face" + (faces == 1 ? "" : "s"),
                 t);
            for (auto& [pass, ms] : passes)
                std::printf("    %-12s median %6.2f ms\n", pass.c_str(),
                            orlenta::bench::percentile(ms, 0.5));
        }
    }
    cv::setNumThreads(threadsBefore);

    std::printf("\nXNNPACK's median as a share of OpenCV dnn's\n");
    for (const std::string what : {"448x256", "384x224", "320x192", "128x128", "detect"})
        for (const int threads : {1, 2}) {
            const std::string suffix = " " + std::to_string(threads);
            const auto x = medians.find(what + " XNNPACK" + suffix);
            const auto o = medians.find(what + " OpenCV dnn" + suffix);
            if (x != medians.end() && o != medians.end())
                std::printf("%-8s %d thread%s: %.2f\n", what.c_str(), threads,
                            threads == 1 ? " " : "s", x->second / o->second);
        }
    return 0;
}

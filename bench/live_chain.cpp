// Measures the whole live chain the way a user meets it, in a private PipeWire session:
//
//   a 30 fps PipeWire test camera (1280 x 720, MJPEG like a USB webcam at that size, or YUY2)
//   showing three faces that move a little -> the app's GStreamer capture -> CameraPipeline with
//   the real face detector, tracker and cover -> VirtualCameraSink -> the real daemon
//   (orlenta-camera-extension) -> a reader of "Orlenta Camera", a PipeWire client like any video
//   app.
//
// The pipeline is wired as the app wires it; its main thread is an EventLoop on this thread.
// Printed after a warm-up:
//   - new pictures per second at the reader (a picture repeated by the daemon is not counted);
//   - end-to-end latency, from the camera handing a frame to PipeWire to the reader receiving
//     it. Each camera frame carries its tag (0..31) as blocks in its top-left corner, where no
//     face is and so nothing is covered; the camera remembers when it sent each tag, and the
//     reader reads the tag back (so latencies up to about a second, 32 frames, are told apart).
//     One clock (CLOCK_MONOTONIC) on both ends;
//   - CPU as a share of one core and of the machine's two: the app side (this process, less the
//     camera's and the reader's threads, which stand in for the webcam and the video app) and
//     the daemon (/proc/PID/stat);
//   - the detector's cost per pass, where the detector reports it.
// The target: at least 28 fps at the reader on a quiet 2-core machine, the app at most one core
// of two. Nothing is asserted; this is a measurement.
//
// Exits 1 with a line saying why when the session, the daemon, the camera, the model or the
// chain cannot be had, or when interrupted (Ctrl-C); whatever was started is stopped on every
// path.
//
// Usage: bench_live_chain [seconds measured] [mjpeg|yuy2]   (default 20, mjpeg)

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/capture/capture_gstreamer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "app/sink/virtual_camera_sink.h"
#include "bench/bench_support.h"
#include "bench/virtual_camera_reader.h"
#include "camera_service/pipewire_camera_system.h"
#include "media/dispatch.h"
#include "tests/testing/test_camera.h"

namespace {

using namespace orlenta;
using bench::ChildProcess;
using bench::percentile;
using bench::VirtualCameraReader;
using testing::TestCamera;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr double kWarmUpSeconds = 3;
// Time allowed from start until the chain carries frames end to end.
constexpr double kSetUpSeconds = 20;
constexpr const char* kCameraNode = "orlenta-bench.live-camera";

// Set by SIGINT and SIGTERM; the run then stops and cleans up like on any other failure.
volatile sig_atomic_t interrupted = 0;

std::string sessionScript() {
    return std::string(ORLENTA_SOURCE_DIR) + "/scripts/pipewire-session";
}

std::string sessionDirectory() {
    return std::string(ORLENTA_BINARY_DIR) + "/pipewire-session/live-bench";
}

// --- The camera's scene -------------------------------------------------------------------------

// Three faces over a plain background, all below the tag blocks: the astronaut large on the left,
// the photographer (his face partly behind his camera) in the middle, a small mirrored astronaut
// on the right. Over the 32 tags they move to and fro by up to 16 pixels, so detection, tracking
// and covering work on a changing picture without a jump when the tags start over.
std::function<cv::Mat(int)> makeScene(std::string* error) {
    const std::string data = std::string(ORLENTA_SOURCE_DIR) + "/tests/data/";
    cv::Mat astronaut = cv::imread(data + "astronaut.png", cv::IMREAD_COLOR);
    cv::Mat photographer = cv::imread(data + "camera.png", cv::IMREAD_COLOR);
    if (astronaut.empty() || photographer.empty()) {
        *error = "cannot read the pictures in " + data;
        return {};
    }
    cv::Mat mirrored;
    cv::flip(astronaut, mirrored, 1);
    cv::resize(astronaut, astronaut, {400, 400}, 0, 0, cv::INTER_AREA);
    cv::resize(photographer, photographer, {380, 380}, 0, 0, cv::INTER_AREA);
    cv::resize(mirrored, mirrored, {240, 240}, 0, 0, cv::INTER_AREA);
    return [astronaut, photographer, mirrored](int tag) {
        const int step = tag < TestCamera::kTagCount / 2 ? tag : TestCamera::kTagCount - tag;
        const int dx = 2 * step - TestCamera::kTagCount / 2; // -16..16
        cv::Mat scene(kHeight, kWidth, CV_8UC3, cv::Scalar(112, 104, 96));
        astronaut.copyTo(scene(cv::Rect(34 + dx, 200 + dx / 2, 400, 400)));
        photographer.copyTo(scene(cv::Rect(470 - dx, 170, 380, 380)));
        mirrored.copyTo(scene(cv::Rect(950 + dx, 300 - dx / 2, 240, 240)));
        return scene;
    };
}

// --- CPU time ---------------------------------------------------------------------------------

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// User plus system time of a /proc stat file, and the name in it; absent when unreadable.
std::optional<std::pair<std::string, double>> statCpuSeconds(const std::string& path) {
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14)
            utime = std::atof(field.c_str());
        if (n == 15)
            stime = std::atof(field.c_str());
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return std::make_pair(text.substr(open + 1, close - open - 1), (utime + stime) / tick);
}

// CPU seconds of this process's threads, summed by thread name.
std::map<std::string, double> threadCpuSeconds() {
    std::map<std::string, double> byName;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return byName;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        if (const auto stat =
                statCpuSeconds(std::string("/proc/self/task/") + entry->d_name + "/stat"))
            byName[stat->first] += stat->second;
    }
    closedir(tasks);
    return byName;
}

// The threads that stand in for the world outside the app: the test camera's and the reader's
// PipeWire thread loops.
bool isRigThread(const std::string& name) {
    return name == "test-camera" || name == bench::kReaderThreadName;
}

struct CpuSample {
    bench::Clock::time_point at = bench::Clock::now();
    double process = processCpuSeconds();
    std::map<std::string, double> threads = threadCpuSeconds();
    double daemon = 0;
};

// --- What the reader sees ---------------------------------------------------------------------

class Counter {
public:
    explicit Counter(const TestCamera& camera) : camera_(camera) {}

    void onFrame(const VirtualCameraReader::Frame& frame) {
        std::optional<int> tag;
        if (frame.size >= frame.stride * TestCamera::kTagBlock)
            tag = TestCamera::readTag(frame.pixels, kWidth, kHeight, frame.stride);
        const std::optional<double> sent = tag ? camera_.sendTime(*tag) : std::nullopt;
        std::lock_guard lock(mutex_);
        ++counts_.received;
        // A picture the daemon repeats (it holds the last one while the app is late) is no news.
        if (!tag || tag == lastTag_)
            return;
        lastTag_ = tag;
        ++counts_.pictures;
        const double milliseconds =
            sent ? (static_cast<double>(frame.arrival) * 1e-9 - *sent) * 1000 : -1;
        if (milliseconds >= 0)
            counts_.latencies.push_back(milliseconds);
    }

    struct Counts {
        uint64_t received = 0;
        uint64_t pictures = 0;
        std::vector<double> latencies;
    };
    // The counts so far, and the latencies since the last call.
    Counts take() {
        std::lock_guard lock(mutex_);
        Counts counts = counts_;
        counts_.latencies.clear();
        return counts;
    }

private:
    const TestCamera& camera_;
    std::mutex mutex_;
    Counts counts_;
    std::optional<int> lastTag_;
};

// The detector's cost per pass, where its interface reports it.
template <typename Detector>
void addPassCosts(const Detector& detector, std::map<std::string, std::vector<double>>& costs) {
    if constexpr (requires(const Detector& d) { d.lastPassCosts(); }) {
        for (const auto& cost : detector.lastPassCosts())
            costs[cost.pass].push_back(cost.milliseconds);
    }
}

// --- The run ----------------------------------------------------------------------------------

// Empty when the measurement ran; otherwise why not.
std::string run(double measuredSeconds, TestCamera::Format format) {
    std::string error;
    const std::function<cv::Mat(int)> scene = makeScene(&error);
    if (!scene)
        return error;
    std::unique_ptr<FaceDetector> detector = loadFaceDetector(defaultFaceModelPath(), &error);
    if (!detector)
        return "cannot load the face model '" + defaultFaceModelPath() + "': " + error;
    const FaceDetector* detectorInUse = detector.get();

    const std::string daemonLog = sessionDirectory() + "/daemon.log";
    ChildProcess daemon(ORLENTA_EXTENSION_BINARY, daemonLog);
    if (!daemon.started())
        return std::string("cannot start the daemon ") + ORLENTA_EXTENSION_BINARY;
    TestCamera::Options options;
    options.nodeName = kCameraNode;
    options.description = "Bench Live Camera";
    options.format = format;
    options.width = kWidth;
    options.height = kHeight;
    options.scene = scene;
    TestCamera camera(options);
    if (!camera.started())
        return "cannot publish the test camera in the PipeWire session";
    const std::string cameraID = std::string("pipewire:") + kCameraNode;

    // First, so that it outlives everything that posts to it.
    EventLoop loop;
    auto system = PipeWireCameraSystem::create({"bench_live_chain", {}}, &error);
    if (!system)
        return "cannot reach PipeWire: " + error;
    std::shared_ptr<GStreamerCaptureSystem> capture =
        GStreamerCaptureSystem::create(loop, {}, &error);
    if (!capture)
        return "cannot reach the cameras: " + error;
    CameraPipeline::Dependencies dependencies;
    dependencies.mainExecutor = &loop;
    dependencies.detector = std::move(detector);
    dependencies.sink = VirtualCameraSink::create(system, loop);
    dependencies.captureSystem = capture;
    std::shared_ptr<CameraPipeline> pipeline = CameraPipeline::create(std::move(dependencies));
    if (!pipeline)
        return "cannot start the frame pipeline";

    // Video queue: what the pipeline did with each frame.
    std::atomic<uint64_t> processed{0}, faces{0}, coveredWhole{0};
    std::mutex costsMutex;
    std::map<std::string, std::vector<double>> passCosts;
    std::atomic<bool> measuring{false};
    pipeline->setFrameObserver([&](const ProcessedFrame& frame) {
        ++processed;
        faces += frame.faces.size();
        coveredWhole += frame.coveredWholeFrame ? 1 : 0;
        if (measuring) {
            std::lock_guard lock(costsMutex);
            addPassCosts(*detectorInUse, passCosts);
        }
    });

    Counter counter(camera);
    std::unique_ptr<VirtualCameraReader> reader;
    std::string failure;
    const auto started = bench::Clock::now();
    std::optional<bench::Clock::time_point> flowing;
    struct Snapshot {
        CpuSample cpu;
        Counter::Counts reader;
        uint64_t cameraSent = 0, processed = 0, faces = 0, coveredWhole = 0;
    };
    std::optional<Snapshot> begin, end;
    auto snapshot = [&] {
        Snapshot s;
        s.reader = counter.take();
        s.cameraSent = camera.framesSent();
        s.processed = processed;
        s.faces = faces;
        s.coveredWhole = coveredWhole;
        if (const auto d = statCpuSeconds("/proc/" + std::to_string(daemon.pid()) + "/stat"))
            s.cpu.daemon = d->second;
        return s;
    };
    auto stop = [&](std::string why) {
        failure = std::move(why);
        loop.quit();
    };

    // Main thread, every 100 ms: set up, warm up, measure.
    std::unique_ptr<Timer> timer = loop.scheduleTimer(0.1, true, [&] {
        const double elapsed = bench::milliseconds(bench::Clock::now() - started) / 1000;
        if (interrupted)
            return stop("interrupted");
        if (!daemon.running())
            return stop("the daemon exited; its output is in " + daemonLog);
        if (!flowing) {
            const auto& cameras = pipeline->cameras.get();
            const bool listed = std::any_of(cameras.begin(), cameras.end(),
                                            [&](const auto& c) { return c.uniqueID == cameraID; });
            if (listed)
                pipeline->setSelectedCameraID(cameraID);
            if (pipeline->virtualCameraConnected.get() && !reader)
                reader = std::make_unique<VirtualCameraReader>(
                    [&](const VirtualCameraReader::Frame& frame) { counter.onFrame(frame); });
            if (counter.take().pictures > 0) {
                flowing = bench::Clock::now();
            } else if (elapsed > kSetUpSeconds) {
                return stop(!listed ? "the test camera never appeared to the capture system"
                            : processed == 0 ? "no camera frame reached the pipeline"
                            : !pipeline->virtualCameraConnected.get()
                                ? "the sink never connected to the daemon"
                                : "the reader got no frame from \"Orlenta Camera\"");
            }
            return;
        }
        const double sinceFlowing = bench::milliseconds(bench::Clock::now() - *flowing) / 1000;
        if (!begin && sinceFlowing >= kWarmUpSeconds) {
            begin = snapshot();
            measuring = true;
        } else if (begin && sinceFlowing >= kWarmUpSeconds + measuredSeconds) {
            measuring = false;
            end = snapshot();
            loop.quit();
        }
    });
    loop.post([&] { pipeline->start(); });
    loop.run();
    timer.reset();
    reader.reset();
    pipeline.reset(); // drains the video queue; the sink goes with it
    if (!failure.empty() || !begin || !end)
        return failure.empty() ? "the run ended early" : failure;

    // --- The figures ---
    const double span = bench::milliseconds(end->cpu.at - begin->cpu.at) / 1000;
    const double pictures = static_cast<double>(end->reader.pictures - begin->reader.pictures);
    const double frames = static_cast<double>(end->processed - begin->processed);
    const double baseline = bench::baselineCopyMilliseconds();
    const std::vector<double>& latencies = end->reader.latencies;
    const double p50 = percentile(latencies, 0.5), p95 = percentile(latencies, 0.95);
    // Shares of one core by thread name over the span (threads that ended within it are only in
    // the process total).
    double rig = 0;
    std::vector<std::pair<double, std::string>> appThreads;
    for (const auto& [name, total] : end->cpu.threads) {
        const auto before = begin->cpu.threads.find(name);
        const double share =
            (total - (before == begin->cpu.threads.end() ? 0 : before->second)) / span;
        if (isRigThread(name))
            rig += share;
        else
            appThreads.emplace_back(share, name);
    }
    std::sort(appThreads.rbegin(), appThreads.rend());
    const double app = (end->cpu.process - begin->cpu.process) / span - rig;
    const double daemonShare = (end->cpu.daemon - begin->cpu.daemon) / span;

    std::printf("baseline: copy of one 1280x720 BGRA frame %.3f ms\n", baseline);
    std::printf("camera %s 1280x720 at 30 fps, three faces; %.0f s warm-up, %.1f s measured\n",
                format == TestCamera::Format::mjpeg ? "MJPEG" : "YUY2", kWarmUpSeconds, span);
    std::printf(
        "reader:    %6.2f fps new pictures (%.0f; %llu frames received, camera sent %llu)\n",
        pictures / span, pictures,
        static_cast<unsigned long long>(end->reader.received - begin->reader.received),
        static_cast<unsigned long long>(end->cameraSent - begin->cameraSent));
    std::printf("pipeline:  %6.2f fps processed, %.2f faces tracked per frame, %llu frames "
                "covered whole\n",
                frames / span,
                frames > 0 ? static_cast<double>(end->faces - begin->faces) / frames : 0.0,
                static_cast<unsigned long long>(end->coveredWhole - begin->coveredWhole));
    std::printf("latency camera -> reader: p50 %.1f ms (%.0f x base), p95 %.1f ms (%.0f x base), "
                "%zu pictures\n",
                p50, p50 / baseline, p95, p95 / baseline, latencies.size());
    std::printf("CPU: app %.0f %% of one core (%.0f %% of two); daemon %.0f %% of one core; "
                "camera and reader threads %.0f %%\n",
                app * 100, app * 50, daemonShare * 100, rig * 100);
    std::printf("app threads by name, %% of one core:");
    for (size_t i = 0; i < appThreads.size() && i < 5; ++i)
        std::printf(" %s %.0f%s", appThreads[i].second.c_str(), appThreads[i].first * 100,
                    i + 1 < std::min<size_t>(appThreads.size(), 5) ? "," : "\n");
    if (passCosts.empty())
        std::printf("detector passes: not reported by this detector\n");
    for (const auto& [pass, costs] : passCosts)
        std::printf("detector pass %-16s p50 %.2f ms, p95 %.2f ms (%.1f x base)\n", pass.c_str(),
                    percentile(costs, 0.5), percentile(costs, 0.95),
                    percentile(costs, 0.95) / baseline);
    std::printf("target (quiet 2-core machine): >= 28 fps at the reader %s, app <= one core of "
                "two %s\n",
                pictures / span >= 28 ? "met" : "NOT met", app <= 1 ? "met" : "NOT met");
    return {};
}

} // namespace

int main(int argc, char** argv) {
    const double measured = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 20.0;
    const std::string formatName = argc > 2 ? argv[2] : "mjpeg";
    if (formatName != "mjpeg" && formatName != "yuy2") {
        std::fprintf(stderr, "usage: bench_live_chain [seconds] [mjpeg|yuy2]\n");
        return 2;
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    if (!bench::startPipeWireSession(sessionScript(), sessionDirectory())) {
        std::printf("bench_live_chain: cannot start a private PipeWire session (%s)\n",
                    sessionScript().c_str());
        bench::stopPipeWireSession(sessionScript(), sessionDirectory());
        return 1;
    }
    const std::string failure =
        run(measured, formatName == "yuy2" ? TestCamera::Format::yuy2 : TestCamera::Format::mjpeg);
    bench::stopPipeWireSession(sessionScript(), sessionDirectory());
    if (!failure.empty()) {
        std::printf("bench_live_chain: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}

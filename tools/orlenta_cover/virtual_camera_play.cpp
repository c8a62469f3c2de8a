#include "tools/orlenta_cover/virtual_camera_play.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "app/sink/virtual_camera_sink.h"
#include "camera_service/pipewire_camera_system.h"
#include "media/dispatch.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "tools/orlenta_cover/cover_job.h"
#include "tools/orlenta_cover/media_files.h"

namespace orlenta {

namespace {

using Clock = std::chrono::steady_clock;

// Frames handed to the video queue and not yet processed; a third would wait behind them.
constexpr int kMaxFramesQueued = 2;
// Input buffers: the queued frames, the one being made, and one spare.
constexpr size_t kInputBuffers = kMaxFramesQueued + 2;
// How often a waiting reader looks for an interrupt.
constexpr double kInterruptPollSeconds = 0.1;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One run. Constructed, run() once and destroyed on the calling (main) thread.
class VirtualCameraPlay {
public:
    VirtualCameraPlay(const CoverOptions& options, std::unique_ptr<MediaReader> reader)
        : options_(options), reader_(std::move(reader)) {}

    // Empty when the input was played to its end (or interrupted); otherwise why not.
    std::string run(std::unique_ptr<FaceDetector> detector) {
        std::string error;
        PipeWireConnectionOptions connection;
        connection.applicationName = "orlenta-cover";
        connection.onDisconnected = [this](const std::string& reason) {
            fail("lost the connection to PipeWire: " + reason);
        };
        std::shared_ptr<PipeWireCameraSystem> system =
            PipeWireCameraSystem::create(std::move(connection), &error);
        if (!system)
            return "cannot reach PipeWire: " + error;
        sink_ = VirtualCameraSink::create(system, loop_);

        CameraPipeline::Dependencies dependencies;
        dependencies.mainExecutor = &loop_;
        dependencies.detector = std::move(detector);
        dependencies.sink = sink_;
        pipeline_ = CameraPipeline::create(std::move(dependencies));
        if (!pipeline_)
            return "cannot start the frame pipeline";
        pipeline_->setStyle(options_.style);
        pipeline_->setFrameObserver([this](const ProcessedFrame& frame) { onProcessed(frame); });

        loop_.post([this] {
            sink_->setOnDevicesChanged([this] { check(); });
            timer_ = loop_.scheduleTimer(VirtualCameraSink::kLongestFullSeconds, true,
                                         [this] { check(); });
            check();
        });
        loop_.run();
        if (readerThread_.joinable())
            readerThread_.join();
        timer_.reset();
        sink_->setOnDevicesChanged({});
        // Drains the video queue; the sink is not used after it.
        pipeline_.reset();
        sink_.reset();

        std::lock_guard lock(mutex_);
        if (failure_.empty() && !interrupted_ && !everConnected_)
            return "the virtual camera was never reached; is orlenta-camera-extension running?";
        return failure_;
    }

    bool interrupted() const { return interrupted_; }
    int64_t framesPlayed() const { return played_; }
    int64_t framesSkipped() const { return skipped_; }

private:
    // --- any thread -------------------------------------------------------------------------

    void fail(const std::string& message) {
        std::lock_guard lock(mutex_);
        if (failure_.empty())
            failure_ = message;
        stopping_ = true;
    }

    bool stopping() {
        if (coverInterruptRequested())
            interrupted_ = true;
        std::lock_guard lock(mutex_);
        return stopping_ || interrupted_;
    }

    // --- main thread ------------------------------------------------------------------------

    // One connect check: connect() on the video queue, the answer back here.
    void check() {
        pipeline_->videoQueue().async([this] {
            const bool connected = sink_->connect();
            loop_.post([this, connected] { onCheck(connected); });
        });
    }

    void onCheck(bool connected) {
        // The frames start once the first check has told where they go.
        if (!readerThread_.joinable()) {
            started_ = Clock::now();
            readerThread_ = std::thread([this] { readFrames(); });
        }
        if (lastCheck_ == connected)
            return;
        lastCheck_ = connected;
        if (connected) {
            {
                std::lock_guard lock(mutex_);
                everConnected_ = true;
            }
            printCoverMessage("playing into the virtual camera");
        } else {
            printCoverMessage("the virtual camera is not there; frames are dropped until it is (is "
                              "orlenta-camera-extension running?)");
        }
    }

    // --- video queue ------------------------------------------------------------------------

    void onProcessed(const ProcessedFrame& frame) {
        if (frame.coveredWholeFrame && !warnedBlack_) {
            warnedBlack_ = true;
            printCoverMessage(
                "face detection is failing: frames go out black until it works again");
        }
    }

    // --- reader thread ----------------------------------------------------------------------

    // Sleeps until the play's clock reaches `due` seconds; false when the run stops first.
    bool waitUntil(double due) {
        for (;;) {
            if (stopping())
                return false;
            const double left = due - secondsSince(started_);
            if (left <= 0)
                return true;
            std::this_thread::sleep_for(
                std::chrono::duration<double>(std::min(left, kInterruptPollSeconds)));
        }
    }

    // The next frame of the input, starting it over at its end with --loop. False at the end
    // of the play (or on a failure, which is recorded).
    bool nextFrame(cv::Mat& bgra, double& seconds) {
        if (reader_->read(bgra, seconds)) {
            if (reader_->kind() == MediaKind::image)
                bgra.copyTo(lastImage_);
            if (!passStart_)
                passStart_ = seconds;
            lastSeconds_ = seconds;
            ++framesThisPass_;
            return true;
        }
        if (const std::string problem = reader_->endProblem(); !problem.empty()) {
            fail(problem);
            return false;
        }
        if (!options_.loop || framesThisPass_ == 0)
            return false;
        // The next pass begins one frame period after this one's last frame.
        passOffset_ += lastSeconds_ - passStart_.value_or(0) + 1 / reader_->frameRate();
        passStart_.reset();
        framesThisPass_ = 0;
        if (reader_->kind() == MediaKind::image) {
            // A still picture is the same every pass: no need to decode it again.
            seconds = lastSeconds_;
            passStart_ = seconds;
            ++framesThisPass_;
            bgra = lastImage_;
            return !bgra.empty();
        }
        std::string error;
        reader_ = MediaReader::open(options_.input, &error);
        if (!reader_) {
            fail(error);
            return false;
        }
        return nextFrame(bgra, seconds);
    }

    void readFrames() {
        cv::Mat bgra;
        double seconds = 0;
        const double period = 1 / reader_->frameRate();
        try {
            while (!stopping() && nextFrame(bgra, seconds)) {
                const double due = passOffset_ + (seconds - passStart_.value_or(0));
                if (secondsSince(started_) > due + period) {
                    ++skipped_; // already late: keep to the clock instead
                    continue;
                }
                if (!waitUntil(due))
                    break;
                if (queued_ >= kMaxFramesQueued) {
                    ++skipped_;
                    continue;
                }
                std::shared_ptr<SampleBuffer> sample = sampler_.make(bgra, seconds);
                if (!sample) {
                    ++skipped_;
                    continue;
                }
                ++queued_;
                ++played_;
                pipeline_->videoQueue().async([this, sample] {
                    pipeline_->processFrame(sample);
                    --queued_;
                });
            }
        } catch (const std::exception& e) {
            fail(std::string("cannot read the input: ") + e.what());
        }
        // Behind the last frame on the video queue: the end of the run.
        pipeline_->videoQueue().async([this] { loop_.post([this] { loop_.quit(0); }); });
    }

    const CoverOptions& options_;
    std::unique_ptr<MediaReader> reader_;

    // First, so that it outlives everything that posts to it.
    EventLoop loop_;
    std::shared_ptr<VirtualCameraSink> sink_;
    std::shared_ptr<CameraPipeline> pipeline_;
    std::unique_ptr<Timer> timer_;
    std::thread readerThread_;
    Clock::time_point started_;

    std::mutex mutex_;
    std::string failure_;
    bool stopping_ = false;
    bool everConnected_ = false;
    std::atomic<bool> interrupted_{false};

    // Main thread.
    std::optional<bool> lastCheck_;
    // Video queue.
    bool warnedBlack_ = false;
    // Reader thread (read by the main thread once it has ended).
    FrameSampler sampler_{kInputBuffers};
    std::atomic<int> queued_{0};
    std::atomic<int64_t> played_{0};
    std::atomic<int64_t> skipped_{0};
    double passOffset_ = 0;
    std::optional<double> passStart_;
    double lastSeconds_ = 0;
    int64_t framesThisPass_ = 0;
    cv::Mat lastImage_;
};

} // namespace

int playToVirtualCamera(const CoverOptions& options) {
    std::string error;
    std::unique_ptr<MediaReader> reader = MediaReader::open(options.input, &error);
    if (!reader) {
        printCoverMessage(error);
        return kExitFailure;
    }
    // No face model, no frames: pictures whose faces cannot be looked for are never shown.
    std::string modelError;
    std::unique_ptr<FaceDetector> detector = loadCoverFaceModel(options.modelPath, &modelError);
    if (!detector) {
        printCoverMessage(modelError);
        return kExitFailure;
    }
    if (coverInterruptRequested()) {
        printCoverMessage("interrupted");
        return kExitInterrupted;
    }

    VirtualCameraPlay play(options, std::move(reader));
    const std::string failure = play.run(std::move(detector));
    if (play.interrupted() && failure.empty()) {
        printCoverMessage("interrupted after " + std::to_string(play.framesPlayed()) + " frames");
        return kExitInterrupted;
    }
    if (!failure.empty()) {
        printCoverMessage(failure);
        return kExitFailure;
    }
    std::string summary = "played " + std::to_string(play.framesPlayed()) + " frames";
    if (const int64_t skipped = play.framesSkipped(); skipped > 0)
        summary += " (" + std::to_string(skipped) + " skipped to keep to the clock)";
    printCoverMessage(summary);
    return kExitSuccess;
}

} // namespace orlenta

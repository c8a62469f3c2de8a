#include "tools/orlenta_cover/cover_job.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

#include <opencv2/core.hpp>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/face_detector.h"
#include "media/dispatch.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "tools/orlenta_cover/cover_options.h"
#include "tools/orlenta_cover/cover_report.h"
#include "tools/orlenta_cover/media_files.h"
#include "tools/orlenta_cover/temporary_output.h"
#include "tools/orlenta_cover/virtual_camera_play.h"

namespace orlenta {

namespace {

namespace fs = std::filesystem;

std::atomic<bool> interruptRequested{false};

// Frames between the reader and the writer: decoded and posted to the pipeline but not yet
// encoded.
constexpr int kMaxFramesInFlight = 2;
// How often a waiting reader looks for an interrupt.
constexpr auto kInterruptPoll = std::chrono::milliseconds(100);
// Input buffers: the frames in flight, the one being decoded, and one spare.
constexpr size_t kInputBuffers = kMaxFramesInFlight + 2;

// Where a file the user named really is: absolute, with the symbolic links of the parts that
// exist resolved, so that writing "through" a link replaces the file it points to.
fs::path resolvedTarget(const std::string& name) {
    std::error_code ec;
    fs::path absolute = fs::absolute(name, ec);
    if (ec)
        return fs::path(name);
    fs::path resolved = fs::weakly_canonical(absolute, ec);
    return ec ? absolute : resolved;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec))
        return true;
    return a.lexically_normal() == b.lexically_normal();
}

struct CoveredFrame {
    int64_t index = 0;
    double seconds = 0;
    std::shared_ptr<PixelBuffer> output;
    std::vector<TrackedFace> faces;
    bool detectionSucceeded = false;
    bool coveredWholeFrame = false;
};

// One run of the frames through the pipeline. Constructed, run() once and destroyed on the
// calling (main) thread.
class CoverRun {
public:
    CoverRun(MediaReader& reader, MediaWriter& writer, std::FILE* faceLog, bool showProgress)
        : reader_(reader), writer_(writer), faceLog_(faceLog),
          progress_(stderr, showProgress, reader.announcedFrameCount()) {}

    // Empty when every frame was covered and written; otherwise why not.
    std::string run(std::unique_ptr<FaceDetector> detector, CoverStyle style) {
        CameraPipeline::Dependencies dependencies;
        dependencies.mainExecutor = &loop_;
        dependencies.detector = std::move(detector);
        dependencies.frameClock = [](const SampleBuffer& sample) {
            return sample.presentationTime().seconds();
        };
        pipeline_ = CameraPipeline::create(std::move(dependencies));
        if (!pipeline_)
            return "cannot start the frame pipeline";
        pipeline_->setStyle(style);
        pipeline_->setFrameObserver(
            [this](const ProcessedFrame& frame) { onProcessedFrame(frame); });
        writerQueue_ = std::make_unique<SerialQueue>("orlenta-cover.writer");

        started_ = std::chrono::steady_clock::now();
        std::thread reader([this] { readFrames(); });
        loop_.run();
        // The reader has posted its last frame and the end marker has passed the video queue and
        // the writer queue: all three are idle now.
        reader.join();
        pipeline_.reset();
        writerQueue_.reset();
        elapsed_ =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        std::lock_guard lock(mutex_);
        return failure_;
    }

    int64_t framesWritten() const { return written_; }
    size_t facesSeen() const { return faceIds_.size(); }
    int64_t framesWithoutDetection() const { return withoutDetection_; }
    double elapsedSeconds() const { return elapsed_; }

private:
    // --- any thread -------------------------------------------------------------------------

    void fail(const std::string& message) {
        std::lock_guard lock(mutex_);
        if (failure_.empty())
            failure_ = message;
        stopping_ = true;
        slotFree_.notify_all();
    }

    bool stopping() {
        if (interruptRequested)
            fail("interrupted");
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    void releaseSlot() {
        std::lock_guard lock(mutex_);
        --inFlight_;
        slotFree_.notify_all();
    }

    // --- reader thread ----------------------------------------------------------------------

    // Waits until a frame may be posted and takes its place; false when the run is stopping.
    bool takeSlot() {
        std::unique_lock lock(mutex_);
        while (!stopping_ && inFlight_ >= kMaxFramesInFlight) {
            slotFree_.wait_for(lock, kInterruptPoll);
            if (interruptRequested) {
                lock.unlock();
                fail("interrupted");
                lock.lock();
            }
        }
        if (stopping_)
            return false;
        ++inFlight_;
        return true;
    }

    void readFrames() {
        cv::Mat bgra;
        double seconds = 0;
        int64_t index = 0;
        try {
            while (!stopping()) {
                if (!reader_.read(bgra, seconds)) {
                    if (const std::string problem = reader_.endProblem(); !problem.empty())
                        fail(problem);
                    break;
                }
                std::shared_ptr<SampleBuffer> sample =
                    sampler_.make(bgra, seconds, 1 / reader_.frameRate());
                if (!sample) {
                    fail("out of memory for frame " + std::to_string(index));
                    break;
                }
                if (!takeSlot())
                    break;
                pipeline_->videoQueue().async(
                    [this, sample, index] { processOnVideoQueue(sample, index); });
                ++index;
            }
        } catch (const std::exception& e) {
            fail(std::string("cannot read the input: ") + e.what());
        }
        // Behind the last frame on the video queue, then behind its write on the writer queue.
        pipeline_->videoQueue().async(
            [this] { writerQueue_->async([this] { finishOnWriterQueue(); }); });
    }

    // --- video queue ------------------------------------------------------------------------

    void processOnVideoQueue(const std::shared_ptr<SampleBuffer>& sample, int64_t index) {
        if (stopping()) {
            releaseSlot();
            return;
        }
        currentSample_ = sample.get();
        currentIndex_ = index;
        observed_ = false;
        pipeline_->processFrame(sample);
        currentSample_ = nullptr;
        if (!observed_) {
            // The pipeline answers every frame through the observer; one it swallowed would be
            // a frame missing from the output.
            fail("frame " + std::to_string(index) + " was not processed");
            releaseSlot();
        }
    }

    void onProcessedFrame(const ProcessedFrame& frame) {
        if (!currentSample_ || frame.input.get() != currentSample_)
            return;
        observed_ = true;
        CoveredFrame covered;
        covered.index = currentIndex_;
        covered.seconds = frame.trackerTime;
        covered.output = frame.output;
        covered.faces = frame.faces;
        covered.detectionSucceeded = frame.detectionSucceeded;
        covered.coveredWholeFrame = frame.coveredWholeFrame;
        writerQueue_->async([this, covered = std::move(covered)] {
            writeOnWriterQueue(covered);
            releaseSlot();
        });
    }

    // --- writer queue -----------------------------------------------------------------------

    void writeOnWriterQueue(const CoveredFrame& frame) {
        if (stopping())
            return;
        const std::string which = "frame " + std::to_string(frame.index);
        if (!frame.output) {
            fail(which + " was dropped by the pipeline (no frame buffer free)");
            return;
        }
        if (frame.coveredWholeFrame) {
            fail("face detection failed at " + which + ": stopped without writing anything");
            return;
        }
        std::string error;
        if (!writer_.write(*frame.output, &error)) {
            fail(error);
            return;
        }
        if (faceLog_) {
            const std::string line = faceLogLine(frame.index, frame.seconds, frame.faces) + "\n";
            if (std::fputs(line.c_str(), faceLog_) == EOF) {
                fail("cannot write the face log: " + systemError(errno));
                return;
            }
        }
        for (const TrackedFace& face : frame.faces)
            faceIds_.insert(face.id);
        if (!frame.detectionSucceeded)
            ++withoutDetection_;
        ++written_;
        progress_.update(
            written_,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
    }

    void finishOnWriterQueue() {
        progress_.clear();
        loop_.quit(0);
    }

    MediaReader& reader_;
    MediaWriter& writer_;
    std::FILE* faceLog_;

    // First, so that it outlives the pipeline that posts to it.
    EventLoop loop_;
    std::shared_ptr<CameraPipeline> pipeline_;
    std::unique_ptr<SerialQueue> writerQueue_;

    std::mutex mutex_;
    std::condition_variable slotFree_;
    int inFlight_ = 0;
    bool stopping_ = false;
    std::string failure_;

    // Reader thread.
    FrameSampler sampler_{kInputBuffers};
    // Video queue.
    const SampleBuffer* currentSample_ = nullptr;
    int64_t currentIndex_ = 0;
    bool observed_ = false;
    // Writer queue (read by the main thread once the queue is gone).
    ProgressLine progress_;
    std::chrono::steady_clock::time_point started_;
    int64_t written_ = 0;
    int64_t withoutDetection_ = 0;
    std::set<int64_t> faceIds_;
    double elapsed_ = 0;
};

// The run after the command line was understood. Returns the exit status.
int coverFiles(const CoverOptions& options) {
    const fs::path input(options.input);
    const fs::path output = resolvedTarget(options.output);
    const std::optional<fs::path> faces =
        options.facesPath.empty() ? std::nullopt
                                  : std::optional<fs::path>(resolvedTarget(options.facesPath));

    if (sameFile(input, output)) {
        printCoverMessage("OUTPUT is the same file as INPUT; the input is never overwritten");
        return kExitUsage;
    }
    if (faces && (sameFile(input, *faces) || sameFile(output, *faces))) {
        printCoverMessage("the --faces file must differ from INPUT and OUTPUT");
        return kExitUsage;
    }

    std::string error;
    std::unique_ptr<MediaReader> reader = MediaReader::open(input, &error);
    if (!reader) {
        printCoverMessage(error);
        return kExitFailure;
    }
    if (reader->kind() != options.outputKind) {
        printCoverMessage(reader->kind() == MediaKind::image
                              ? "INPUT is an image: OUTPUT must end in .png or .jpg"
                              : "INPUT is a video: OUTPUT must end in .webm or .mp4");
        return kExitUsage;
    }

    // No face model, no output: frames whose faces cannot be looked for are never written.
    std::string modelError;
    // A still picture gets every detection pass at once; a video takes the tiles in turn, as the
    // app does.
    std::unique_ptr<FaceDetector> detector =
        loadCoverFaceModel(options.modelPath, &modelError, reader->kind() == MediaKind::image);
    if (!detector) {
        printCoverMessage(modelError);
        return kExitFailure;
    }
    if (interruptRequested) {
        printCoverMessage("interrupted");
        return kExitInterrupted;
    }

    std::unique_ptr<TemporaryOutput> outputFile = TemporaryOutput::create(output, &error);
    if (!outputFile) {
        printCoverMessage(error);
        return kExitFailure;
    }
    std::unique_ptr<TemporaryOutput> facesFile;
    std::FILE* faceLog = nullptr;
    if (faces) {
        facesFile = TemporaryOutput::create(*faces, &error);
        if (!facesFile) {
            printCoverMessage(error);
            return kExitFailure;
        }
        const int fd = ::dup(facesFile->fd());
        faceLog = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
        if (!faceLog) {
            if (fd >= 0)
                ::close(fd);
            printCoverMessage("cannot write " + quotedPath(*faces) + ": " + systemError(errno));
            return kExitFailure;
        }
    }
    // Closes the face log on every way out; the temporary files remove themselves.
    struct FaceLogCloser {
        std::FILE*& file;
        ~FaceLogCloser() {
            if (file)
                std::fclose(file);
        }
    } closer{faceLog};

    std::unique_ptr<MediaWriter> writer =
        MediaWriter::open(*outputFile, options.outputKind, reader->frameRate(), &error);
    if (!writer) {
        printCoverMessage(error);
        return kExitFailure;
    }

    CoverRun run(*reader, *writer, faceLog, ::isatty(STDERR_FILENO) == 1);
    const std::string failure = run.run(std::move(detector), options.style);
    if (interruptRequested) {
        printCoverMessage("interrupted");
        return kExitInterrupted;
    }
    if (!failure.empty()) {
        printCoverMessage(failure);
        return kExitFailure;
    }
    if (!writer->finish(&error)) {
        printCoverMessage(error);
        return kExitFailure;
    }
    if (interruptRequested) {
        printCoverMessage("interrupted");
        return kExitInterrupted;
    }
    if (faceLog) {
        const bool flushed = std::fflush(faceLog) == 0 && !std::ferror(faceLog);
        const int closeResult = std::fclose(faceLog);
        faceLog = nullptr;
        if (!flushed || closeResult != 0) {
            printCoverMessage("cannot write " + quotedPath(*faces) + ": " + systemError(errno));
            return kExitFailure;
        }
        if (!facesFile->commit(&error)) {
            printCoverMessage(error);
            return kExitFailure;
        }
    }
    if (!outputFile->commit(&error)) {
        printCoverMessage(error);
        return kExitFailure;
    }

    std::string summary = summaryLine(run.framesWritten(), run.facesSeen(), run.elapsedSeconds());
    if (const int64_t missed = run.framesWithoutDetection(); missed > 0)
        summary += " (" + std::to_string(missed) + (missed == 1 ? " frame" : " frames") +
                   " without a detection)";
    std::fputs((summary + "\n").c_str(), stderr);
    return kExitSuccess;
}

} // namespace

void requestCoverInterrupt() {
    interruptRequested = true;
}

bool coverInterruptRequested() {
    return interruptRequested;
}

int runCoverTool(const std::vector<std::string>& arguments) {
    const ParsedCommandLine parsed = parseCoverCommandLine(arguments);
    if (parsed.helpRequested) {
        std::fputs(coverUsage().c_str(), stdout);
        return kExitSuccess;
    }
    if (!parsed.options) {
        printCoverMessage(parsed.error + " (see orlenta-cover --help)");
        return kExitUsage;
    }
    try {
        if (parsed.options->virtualCamera)
            return playToVirtualCamera(*parsed.options);
        return coverFiles(*parsed.options);
    } catch (const std::exception& e) {
        // Nothing below is meant to throw; should something still do, the temporary files
        // have been removed on the way here and the user gets a reason.
        printCoverMessage(std::string("unexpected error: ") + e.what());
        return kExitFailure;
    }
}

void printCoverMessage(const std::string& message) {
    std::fflush(stdout);
    const std::string line = "orlenta-cover: " + message + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

std::string quotedPath(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

std::unique_ptr<FaceDetector> loadCoverFaceModel(const std::string& modelPath, std::string* error,
                                                 bool stillPicture) {
    const std::string path = modelPath.empty() ? defaultFaceModelPath() : modelPath;
    if (path.empty()) {
        *error = "no face model is installed; run scripts/fetch-model or pass --model FILE";
        return nullptr;
    }
    std::string loadError;
    FaceDetectorOptions options;
    options.everyTileEachFrame = stillPicture;
    std::unique_ptr<FaceDetector> detector = loadFaceDetector(path, &loadError, options);
    if (!detector)
        *error = "cannot load the face model " + quotedPath(path) + ": " +
                 (loadError.empty() ? "unknown error" : loadError);
    return detector;
}

} // namespace orlenta

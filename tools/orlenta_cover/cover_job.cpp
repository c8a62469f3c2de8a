#include "tools/orlenta_cover/cover_job.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <set>
#include <thread>
#include <unistd.h>

#include <opencv2/core.hpp>

#include "app/pipeline/face_detector.h"
#include "tools/orlenta_cover/cover_options.h"
#include "tools/orlenta_cover/cover_report.h"
#include "tools/orlenta_cover/frame_faces.h"
#include "tools/orlenta_cover/media_files.h"
#include "tools/orlenta_cover/temporary_output.h"
#include "tools/orlenta_cover/video_transcoder.h"
#include "tools/orlenta_cover/virtual_camera_play.h"

namespace orlenta {

namespace {

namespace fs = std::filesystem;

std::atomic<bool> interruptRequested{false};
// Put before every message while one file of several is under way (set between files only).
std::string messagePrefix;

// Frames whose faces are known, waiting to be covered and encoded.
constexpr size_t kFramesBetweenStages = 2;
// The detector looks at each quarter of a video frame only every eighth frame, so a small face
// that comes into view is found up to seven frames late. The detecting thread holds this many
// frames back, and a face found for the first time is covered in those too.
constexpr size_t kLookbackFrames = 7;
// A face covered in the frames before it was found gets a box this much wider and taller than
// where it was found, for the way it moved in between.
constexpr double kLookbackGrowth = 0.25;
// How often a waiting thread looks for an interrupt.
constexpr auto kInterruptPoll = std::chrono::milliseconds(100);

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

// One covered frame on its way from the detecting thread to the writing thread.
struct FoundFrame {
    int64_t index = 0;
    DecodedFrame frame;
    std::vector<TrackedFace> faces;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One run of a video through the transcoder: a detecting thread pulls decoded frames and finds
// their faces; a writing thread covers each frame at full size, hands it to the encoder and logs
// its faces. At most kFramesBetweenStages frames wait between the two, so neither runs far ahead
// and nothing is dropped.
class VideoCoverRun {
public:
    VideoCoverRun(VideoTranscoder& transcoder, FrameFaces& faces, CoverStyle style,
                  std::FILE* faceLog, bool showProgress, BatchPosition batch = {})
        : transcoder_(transcoder), finder_(faces), style_(style), faceLog_(faceLog),
          progress_(stderr, showProgress, transcoder.estimatedFrameCount(), batch) {}

    // Empty when every frame was covered and the file completed; otherwise why not. atEnd, when
    // given, runs once the file is complete and before the threads are gone.
    std::string run(const std::function<void()>& atEnd) {
        started_ = std::chrono::steady_clock::now();
        std::thread finder([this, &atEnd] {
            pthread_setname_np(pthread_self(), "cover-detect");
            findFaces();
            // Kept alive for atEnd, which measures the threads.
            std::unique_lock lock(mutex_);
            while (atEnd && !writerDone_)
                changed_.wait(lock);
        });
        std::thread writer([this, &atEnd] {
            pthread_setname_np(pthread_self(), "cover-write");
            writeFrames();
            if (atEnd && !stopping())
                atEnd();
            std::lock_guard lock(mutex_);
            writerDone_ = true;
            changed_.notify_all();
        });
        finder.join();
        writer.join();
        elapsed_ = secondsSince(started_);
        progress_.clear();
        std::lock_guard lock(mutex_);
        return failure_;
    }

    int64_t framesWritten() const { return written_; }
    size_t facesSeen() const { return faceIds_.size(); }
    double elapsedSeconds() const { return elapsed_; }

private:
    void fail(const std::string& message) {
        std::lock_guard lock(mutex_);
        if (failure_.empty())
            failure_ = message;
        stopping_ = true;
        changed_.notify_all();
    }

    bool stopping() {
        if (interruptRequested)
            fail("interrupted");
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    // --- detecting thread -------------------------------------------------------------------

    void findFaces() {
        const auto stop = [this] { return stopping(); };
        for (int64_t index = 0;; ++index) {
            DecodedFrame frame;
            const VideoTranscoder::Pulled pulled = transcoder_.pull(frame, stop);
            if (pulled == VideoTranscoder::Pulled::failed) {
                fail(transcoder_.problem());
                break;
            }
            if (pulled == VideoTranscoder::Pulled::end)
                break;
            std::optional<std::vector<TrackedFace>> faces =
                finder_.find(frame.bgra(), frame.seconds());
            if (!faces) {
                fail("face detection failed at frame " + std::to_string(index) +
                     ": stopped without writing anything");
                break;
            }
            coverNewFacesInHeldFrames(*faces);
            // Held frames keep their own copy of the picture: the decoder's memory goes back to
            // it at once, so holding frames never starves its buffer pool.
            held_.push_back({index, frame.detach(), std::move(*faces)});
            if (held_.size() > kLookbackFrames && !handOn())
                break;
        }
        while (!held_.empty())
            if (!handOn())
                break;
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    // A face the tracker reports for the first time is covered in the held frames before it,
    // where it was most likely in view already but not yet found.
    void coverNewFacesInHeldFrames(const std::vector<TrackedFace>& faces) {
        for (const TrackedFace& face : faces) {
            if (!seenFaces_.insert(face.id).second || face.shown)
                continue;
            TrackedFace earlier = face;
            const double dx = face.rect.width * kLookbackGrowth / 2;
            const double dy = face.rect.height * kLookbackGrowth / 2;
            earlier.rect = {face.rect.x - dx, face.rect.y - dy, face.rect.width + 2 * dx,
                            face.rect.height + 2 * dy};
            for (FoundFrame& before : held_)
                before.faces.push_back(earlier);
        }
    }

    // Hands the oldest held frame on to the writing thread, waiting for room. False when the run
    // is stopping.
    bool handOn() {
        std::unique_lock lock(mutex_);
        while (!stopping_ && waiting_.size() >= kFramesBetweenStages)
            changed_.wait_for(lock, kInterruptPoll);
        if (stopping_)
            return false;
        waiting_.push_back(std::move(held_.front()));
        held_.pop_front();
        changed_.notify_all();
        return true;
    }

    // --- writing thread ---------------------------------------------------------------------

    void writeFrames() {
        const auto stop = [this] { return stopping(); };
        for (;;) {
            std::optional<FoundFrame> next;
            {
                std::unique_lock lock(mutex_);
                while (!stopping_ && waiting_.empty() && !ended_)
                    changed_.wait_for(lock, kInterruptPoll);
                if (stopping_ || (waiting_.empty() && ended_))
                    break;
                next = std::move(waiting_.front());
                waiting_.pop_front();
                changed_.notify_all();
            }
            if (!writeFrame(*next, stop))
                return;
        }
        if (stopping())
            return;
        if (!transcoder_.finish(stop))
            fail(transcoder_.problem());
    }

    bool writeFrame(FoundFrame& found, const std::function<bool()>& stop) {
        cv::Mat covered;
        void* map = nullptr;
        GstBuffer* buffer = transcoder_.makeOutputBuffer(found.frame, covered, &map);
        if (!buffer) {
            fail("out of memory for frame " + std::to_string(found.index));
            return false;
        }
        // A frame that cannot be covered goes out black rather than uncovered; it cannot
        // happen with a decoded BGRA frame, so it ends the run.
        if (!FrameFaces::cover(found.frame.bgra(), found.faces, style_, covered)) {
            covered.setTo(cv::Scalar(0, 0, 0, 255));
            transcoder_.push(buffer, map, stop);
            fail("frame " + std::to_string(found.index) + " could not be covered");
            return false;
        }
        const double seconds = found.frame.seconds();
        const int width = found.frame.bgra().cols;
        const int height = found.frame.bgra().rows;
        found.frame = DecodedFrame();
        if (!transcoder_.push(buffer, map, stop)) {
            fail(transcoder_.problem());
            return false;
        }
        if (faceLog_) {
            const std::string line =
                faceLogLine(found.index, seconds, found.faces, width, height) + "\n";
            if (std::fputs(line.c_str(), faceLog_) == EOF) {
                fail("cannot write the face log: " + systemError(errno));
                return false;
            }
        }
        for (const TrackedFace& face : found.faces)
            faceIds_.insert(face.id);
        ++written_;
        progress_.update(written_, secondsSince(started_));
        return true;
    }

    VideoTranscoder& transcoder_;
    FrameFaces& finder_;
    CoverStyle style_;
    std::FILE* faceLog_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FoundFrame> waiting_;
    // Detecting thread only.
    std::deque<FoundFrame> held_;
    std::set<int64_t> seenFaces_;
    bool ended_ = false;
    bool writerDone_ = false;
    bool stopping_ = false;
    std::string failure_;

    // Writing thread (read by the calling thread after the join).
    ProgressLine progress_;
    std::chrono::steady_clock::time_point started_;
    int64_t written_ = 0;
    std::set<int64_t> faceIds_;
    double elapsed_ = 0;
};

// The picture of an image file, covered with every detection pass. Empty when it was written.
std::string coverImage(MediaReader& reader, FrameFaces& finder, CoverStyle style,
                       const TemporaryOutput& output, std::FILE* faceLog, int64_t* facesSeen) {
    cv::Mat bgra;
    double seconds = 0;
    if (!reader.read(bgra, seconds))
        return "cannot decode the image";
    const std::optional<std::vector<TrackedFace>> faces = finder.find(bgra, 0);
    if (!faces)
        return "face detection failed: stopped without writing anything";
    cv::Mat covered(bgra.size(), CV_8UC4);
    if (!FrameFaces::cover(bgra, *faces, style, covered))
        return "the image could not be covered";
    std::string error;
    if (!writeImage(output, covered, &error))
        return error;
    if (faceLog) {
        const std::string line = faceLogLine(0, 0, *faces, bgra.cols, bgra.rows) + "\n";
        if (std::fputs(line.c_str(), faceLog) == EOF)
            return "cannot write the face log: " + systemError(errno);
    }
    *facesSeen = static_cast<int64_t>(faces->size());
    return {};
}

// The run after the command line was understood. Returns the exit status.
// With an output folder (options.output empty) the output's name follows from the input's kind.
int coverFiles(const CoverOptions& options, BatchPosition batch = {}) {
    const fs::path input(options.input);
    const bool inFolder = options.output.empty();
    fs::path output = inFolder ? fs::path() : resolvedTarget(options.output);
    const std::optional<fs::path> faces =
        options.facesPath.empty() ? std::nullopt
                                  : std::optional<fs::path>(resolvedTarget(options.facesPath));

    if (!inFolder && sameFile(input, output)) {
        printCoverMessage("OUTPUT is the same file as INPUT; the input is never overwritten");
        return kExitUsage;
    }
    if (faces && (sameFile(input, *faces) || sameFile(output, *faces))) {
        printCoverMessage("the --faces file must differ from INPUT and OUTPUT");
        return kExitUsage;
    }

    // Images are read here; anything else is taken for a video and read by GStreamer.
    std::string error;
    std::unique_ptr<MediaReader> image = MediaReader::open(input, &error, false);
    if (!image && !error.empty()) {
        printCoverMessage(error);
        return kExitFailure;
    }
    const MediaKind inputKind = image ? MediaKind::image : MediaKind::video;
    if (inFolder) {
        output = resolvedTarget(
            (fs::path(options.outputFolder) / outputNameInFolder(options.input, inputKind))
                .string());
        if (sameFile(input, output)) {
            printCoverMessage("the output folder holds INPUT itself; the input is never "
                              "overwritten");
            return kExitUsage;
        }
    } else if (inputKind != options.outputKind) {
        printCoverMessage(inputKind == MediaKind::image
                              ? "INPUT is an image: OUTPUT must end in .png or .jpg"
                              : "INPUT is not an image: OUTPUT must end in .webm, .mp4 or .mkv");
        return kExitUsage;
    }

    // No face model, no output: frames whose faces cannot be looked for are never written.
    // A still picture gets every detection pass at once; a video takes the tiles in turn, as the
    // app does.
    std::string modelError;
    std::unique_ptr<FaceDetector> detector =
        loadCoverFaceModel(options.modelPath, &modelError, inputKind == MediaKind::image);
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

    FrameFaces finder(std::move(detector));
    std::string failure;
    int64_t frames = 1;
    size_t facesSeen = 0;
    double elapsed = 0;
    std::vector<std::string> notes;
    if (image) {
        const auto started = std::chrono::steady_clock::now();
        int64_t found = 0;
        failure = coverImage(*image, finder, options.style, *outputFile, faceLog, &found);
        facesSeen = static_cast<size_t>(found);
        elapsed = secondsSince(started);
    } else {
        const auto stop = [] { return coverInterruptRequested(); };
        std::unique_ptr<VideoTranscoder> transcoder =
            VideoTranscoder::open(input, outputFile->path(), output, stop, &error);
        if (!transcoder) {
            printCoverMessage(interruptRequested ? "interrupted" : error);
            return interruptRequested ? kExitInterrupted : kExitFailure;
        }
        VideoCoverRun run(*transcoder, finder, options.style, faceLog, ::isatty(STDERR_FILENO) == 1,
                          batch);
        failure = run.run({});
        frames = run.framesWritten();
        facesSeen = run.facesSeen();
        elapsed = run.elapsedSeconds();
        notes = transcoder->notes();
    }
    if (interruptRequested) {
        printCoverMessage("interrupted");
        return kExitInterrupted;
    }
    if (!failure.empty()) {
        printCoverMessage(failure);
        return kExitFailure;
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

    for (const std::string& note : notes)
        printCoverMessage(note);
    std::string summary = summaryLine(frames, facesSeen, elapsed);
    if (inFolder) {
        const std::string tool = "orlenta-cover: ";
        summary.insert(tool.size(), quotedPath(input) + " -> " + quotedPath(output) + ": ");
    }
    std::fputs((summary + "\n").c_str(), stderr);
    return kExitSuccess;
}

// Every input into the output folder, one after the other: a file that fails is reported (its
// messages name it) and the rest still run; an interrupt ends the whole run.
int coverIntoFolder(const CoverOptions& options) {
    std::error_code ec;
    fs::create_directories(options.outputFolder, ec);
    if (ec || !fs::is_directory(options.outputFolder)) {
        printCoverMessage("cannot make the output folder " + quotedPath(options.outputFolder) +
                          ": " + (ec ? ec.message() : "a file of that name is in the way"));
        return kExitFailure;
    }
    const size_t count = options.inputs.size();
    size_t failed = 0;
    for (size_t i = 0; i < count; ++i) {
        CoverOptions one = options;
        one.input = options.inputs[i];
        messagePrefix = quotedPath(one.input) + ": ";
        const int status = coverFiles(one, {i, count});
        messagePrefix.clear();
        if (status == kExitInterrupted)
            return status;
        failed += status == kExitSuccess ? 0 : 1;
    }
    if (count > 1)
        printCoverMessage("covered " + std::to_string(count - failed) + " of " +
                          std::to_string(count) + " files" +
                          (failed > 0 ? "; " + std::to_string(failed) + " failed" : ""));
    return failed > 0 ? kExitFailure : kExitSuccess;
}

} // namespace

VideoCoverResult coverVideoFile(const fs::path& input, const fs::path& output,
                                std::unique_ptr<FaceDetector> detector, CoverStyle style,
                                const std::function<void()>& atEnd) {
    VideoCoverResult result;
    const auto stop = [] { return coverInterruptRequested(); };
    std::unique_ptr<VideoTranscoder> transcoder =
        VideoTranscoder::open(input, output, output, stop, &result.failure);
    if (!transcoder)
        return result;
    FrameFaces finder(std::move(detector));
    VideoCoverRun run(*transcoder, finder, style, nullptr, false);
    result.failure = run.run(atEnd);
    result.frames = run.framesWritten();
    result.seconds = run.elapsedSeconds();
    return result;
}

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
        if (!parsed.options->outputFolder.empty())
            return coverIntoFolder(*parsed.options);
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
    const std::string line = "orlenta-cover: " + messagePrefix + message + "\n";
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

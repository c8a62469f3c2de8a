// VideoTranscoder: one GStreamer pipeline that decodes a video file's picture for covering and
// writes the covered picture, together with the file's other tracks, into a new file.
//
//   filesrc ! parsebin ─┬─ video: queue "decode" ! decodebin ! videoconvert ! BGRA appsink
//                       ├─ audio and other tracks: queue ! muxer (as they are)
//                       │    (or, where the container cannot hold them: decodebin ! audioconvert !
//                       │     the container's audio encoder ! muxer)
//   appsrc (covered BGRA) ! queue "encode" ! videoconvert ! encoder ! muxer ! filesink
//
// The container follows the output's extension: .webm takes VP8 (and Vorbis or Opus sound), .mp4
// H.264 (and AAC, MP3 or Opus sound), .mkv H.264 (VP8 without an H.264 encoder) and any sound.
// Only the first video track is decoded and covered; further video tracks and tracks the
// container cannot take are left out, each with a note. Frames keep their size and their
// timestamps, so a variable frame rate stays as it was.
//
// The decoder and the encoder run on GStreamer's streaming threads, behind queues; the caller
// pulls decoded frames on one thread and pushes covered ones on another, so decoding, the caller's
// work and encoding overlap. Pulling waits while the caller is behind; pushing waits while the
// encoder is.
//
// Threads: pull() from one thread, push() and finish() from one other thread (or the same);
// problem() and notes() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;
typedef struct _GstBuffer GstBuffer;

namespace orlenta {

// One decoded frame: a read-only BGRA view of GStreamer's buffer, valid while the frame lives.
class DecodedFrame {
public:
    DecodedFrame() = default;
    ~DecodedFrame();
    DecodedFrame(DecodedFrame&& other) noexcept;
    DecodedFrame& operator=(DecodedFrame&& other) noexcept;
    DecodedFrame(const DecodedFrame&) = delete;
    DecodedFrame& operator=(const DecodedFrame&) = delete;

    const cv::Mat& bgra() const { return bgra_; }
    // The same frame holding a copy of its picture, the decoder's memory given back; this one is
    // left empty.
    DecodedFrame detach();
    // The frame's place on the output's timeline (nanoseconds from the start of the file) and
    // its duration (absent when the file gives none).
    int64_t runningTime() const { return runningTime_; }
    std::optional<int64_t> duration() const { return duration_; }
    // The frame's media time in seconds, as the file gives it.
    double seconds() const { return seconds_; }

private:
    friend class VideoTranscoder;
    void release();

    GstSample* sample_ = nullptr;
    GstBuffer* mapped_ = nullptr;
    void* mapInfo_ = nullptr; // a GstMapInfo
    cv::Mat bgra_;
    int64_t runningTime_ = 0;
    std::optional<int64_t> duration_;
    double seconds_ = 0;
};

class VideoTranscoder {
public:
    // Opens INPUT and prepares OUTPUT (written at outputPath, named target in messages) and
    // decodes the first frame. Absent, with a one-line reason, when the input has no video that
    // decodes or when the output's container or encoder is not available (naming the package
    // that brings it). stop is polled while waiting; it ends the wait with a failure.
    static std::unique_ptr<VideoTranscoder> open(const std::filesystem::path& input,
                                                 const std::filesystem::path& outputPath,
                                                 const std::filesystem::path& target,
                                                 const std::function<bool()>& stop,
                                                 std::string* error);
    ~VideoTranscoder();
    VideoTranscoder(const VideoTranscoder&) = delete;
    VideoTranscoder& operator=(const VideoTranscoder&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    // The number of frames the container's length suggests at the nominal rate; for a progress
    // bar only, never to judge the file.
    std::optional<int64_t> estimatedFrameCount() const { return estimatedFrames_; }
    // What happened to the tracks other than the covered video, one line each ("the audio track
    // (Opus) is copied").
    std::vector<std::string> notes() const;

    enum class Pulled { frame, end, failed };
    // The next decoded frame, in order; end after the last one; failed on an error (problem()).
    Pulled pull(DecodedFrame& frame, const std::function<bool()>& stop);
    // A writable BGRA buffer of the input's size for the covered picture of `frame`, with its
    // timing; view is a cv::Mat over its memory. Null when no memory can be had.
    GstBuffer* makeOutputBuffer(const DecodedFrame& frame, cv::Mat& view, void** map);
    // Hands a buffer from makeOutputBuffer() (with its map) to the encoder, waiting while the
    // encoder is more than a few frames behind. False on an error or when stop reads true.
    bool push(GstBuffer* buffer, void* map, const std::function<bool()>& stop);
    // Ends the video and waits until the file is complete (every track ended, the container
    // finished); destruction closes it. False, with problem() set, on any error.
    bool finish(const std::function<bool()>& stop);
    // Why the run failed; empty while it has not.
    std::string problem() const;

private:
    VideoTranscoder() = default;
    struct Parts;
    bool build(const std::filesystem::path& input, const std::filesystem::path& outputPath,
               std::string* error);
    void fail(const std::string& message);
    // Reads the pipeline's messages; false when one is an error (problem() then says which).
    bool checkBus();
    void onParsedPad(void* pad);
    void onDecodedPad(void* pad);
    void addTrack(void* pad, const std::string& caps);
    // After the last frame: empty when the tracks reach the length the container gives, else
    // why the file counts as cut off.
    std::string endProblem();

    std::filesystem::path input_;
    std::filesystem::path target_;
    std::string extension_;
    GstElement* pipeline_ = nullptr;
    std::unique_ptr<Parts> parts_;
    int width_ = 0;
    int height_ = 0;
    int rateNumerator_ = 0;
    int rateDenominator_ = 1;
    std::optional<int64_t> estimatedFrames_;
    std::optional<DecodedFrame> first_;
    bool capsSet_ = false;
    int64_t lastRunningTime_ = -1;

    mutable std::mutex mutex_;
    std::string problem_;
    std::vector<std::string> notes_;
    std::atomic<bool> videoFound_{false};
    int tracks_ = 0;
    // Where the tracks end (timestamp plus duration, nanoseconds): the video's as decoded, the
    // other tracks' as the demuxer hands them on.
    int64_t videoEnd_ = 0;
    std::atomic<int64_t> otherTracksEnd_{0};
    int64_t nominalFrame_ = 0;
};

} // namespace orlenta

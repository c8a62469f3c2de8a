// Reading images (and, for the virtual camera, videos) and writing images with OpenCV; covered
// videos are written by VideoTranscoder.
//
// MediaReader decodes INPUT: an image when an image codec recognises the file's content,
// otherwise a video through OpenCV's videoio with its FFmpeg backend. Frames come out as 8-bit
// BGRA with their media time. Nothing ever writes to the input.
//
// Threads: each object is used by one thread at a time (it may be handed from one thread to
// another when the hand-off itself synchronises).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core/mat.hpp>

#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "tools/orlenta_cover/cover_options.h"
#include "tools/orlenta_cover/temporary_output.h"

namespace orlenta {

class MediaReader {
public:
    // Absent, with a one-line reason, when the path is not a readable regular file or holds
    // nothing that decodes to a picture. A video must give its first frame here. Without
    // videosToo a file that is not an image is absent with an empty reason.
    static std::unique_ptr<MediaReader> open(const std::filesystem::path& path, std::string* error,
                                             bool videosToo = true);
    virtual ~MediaReader() = default;

    virtual MediaKind kind() const = 0;
    // Frames per second for the output: the container's rate, 30 when it gives none.
    virtual double frameRate() const = 0;
    // The number of frames the file says it holds (1 for an image), if it says.
    virtual std::optional<int64_t> announcedFrameCount() const = 0;
    // The next frame (8-bit BGRA, valid until the next call) and its media time in seconds,
    // non-decreasing; false at the end.
    virtual bool read(cv::Mat& bgra, double& seconds) = 0;
    // After read() answered false: empty when the input ended where it said it would, otherwise
    // why the frames ended early (a truncated or damaged file).
    virtual std::string endProblem() const = 0;
};

// Encodes a covered BGRA picture as PNG or JPEG (by the target's extension) into the file.
// False, with a reason, when it cannot.
bool writeImage(const TemporaryOutput& output, const cv::Mat& bgra, std::string* error);

// Wraps decoded frames as sample buffers for the pipeline: each frame is copied into a buffer of
// a small pool that follows the frames' size (a plain buffer when the pool has none free, so no
// frame is ever lost), stamped with its media time and, when given, its duration. Used by one
// thread (the reader).
class FrameSampler {
public:
    explicit FrameSampler(size_t maxBuffers) : maxBuffers_(maxBuffers) {}
    // Null only when no memory can be had.
    std::shared_ptr<SampleBuffer> make(const cv::Mat& bgra, double seconds,
                                       std::optional<double> duration = std::nullopt);

private:
    size_t maxBuffers_;
    std::shared_ptr<PixelBufferPool> pool_;
};

} // namespace orlenta

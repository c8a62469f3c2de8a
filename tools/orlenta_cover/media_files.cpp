#include "tools/orlenta_cover/media_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tools/orlenta_cover/cover_job.h"

namespace orlenta {

namespace {

// Whether a JPEG file holds its whole picture. Decoders fill a picture cut off in its compressed
// data with grey and only warn, so the end-of-image marker is looked for: the segments are walked
// to the first start of scan, and after it the marker FF D9 must come (inside compressed data a
// FF byte is always followed by 00 or a restart marker, so it cannot be mistaken). Data after the
// end marker (as some cameras append) is fine. Files that are not JPEG are not judged here.
bool jpegIsComplete(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                           std::istreambuf_iterator<char>());
    const size_t size = bytes.size();
    if (size < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return true;
    size_t at = 2;
    while (true) {
        while (at < size && bytes[at] == 0xFF && at + 1 < size && bytes[at + 1] == 0xFF)
            ++at; // fill bytes before a marker
        if (at + 4 > size || bytes[at] != 0xFF)
            return false; // cut off before the picture's data
        const unsigned char marker = bytes[at + 1];
        if (marker == 0xD9)
            return false; // an end with no picture
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        const size_t length = (static_cast<size_t>(bytes[at + 2]) << 8) | bytes[at + 3];
        if (length < 2)
            return false;
        at += 2 + length;
        if (marker == 0xDA)
            break;
    }
    for (; at + 1 < size; ++at)
        if (bytes[at] == 0xFF && bytes[at + 1] == 0xD9)
            return true;
    return false;
}

constexpr double kFallbackFrameRate = 30;
// Rates outside this range are metadata errors, not frame rates.
constexpr double kMinFrameRate = 0.1;
constexpr double kMaxFrameRate = 1000;

// Keeps what libraries print straight to standard error while they open a file (OpenCV's notes
// about codec tags, libpng's warnings) off the user's terminal for the length of a scope. Only
// used on the main thread before the threads that do the work start, since the descriptor is
// process-wide.
class QuietStandardError {
public:
    QuietStandardError() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~QuietStandardError() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int saved_ = -1;
};

// Any 8-bit or 16-bit picture of 1, 3 or 4 channels to 8-bit BGRA.
bool toBgra(const cv::Mat& frame, cv::Mat& bgra) {
    if (frame.empty() || frame.dims != 2)
        return false;
    cv::Mat eightBit = frame;
    if (frame.depth() == CV_16U)
        frame.convertTo(eightBit, CV_MAKETYPE(CV_8U, frame.channels()), 1.0 / 257);
    else if (frame.depth() != CV_8U)
        return false;
    switch (eightBit.channels()) {
    case 1:
        cv::cvtColor(eightBit, bgra, cv::COLOR_GRAY2BGRA);
        return true;
    case 3:
        cv::cvtColor(eightBit, bgra, cv::COLOR_BGR2BGRA);
        return true;
    case 4:
        eightBit.copyTo(bgra);
        return true;
    default:
        return false;
    }
}

class ImageReader final : public MediaReader {
public:
    explicit ImageReader(cv::Mat bgra) : bgra_(std::move(bgra)) {}
    MediaKind kind() const override { return MediaKind::image; }
    double frameRate() const override { return kFallbackFrameRate; }
    std::optional<int64_t> announcedFrameCount() const override { return 1; }
    bool read(cv::Mat& bgra, double& seconds) override {
        if (delivered_)
            return false;
        delivered_ = true;
        bgra = bgra_;
        seconds = 0;
        return true;
    }
    std::string endProblem() const override { return {}; }

private:
    cv::Mat bgra_;
    bool delivered_ = false;
};

class VideoReader final : public MediaReader {
public:
    VideoReader(std::filesystem::path path, std::unique_ptr<cv::VideoCapture> capture)
        : path_(std::move(path)), capture_(std::move(capture)) {
        const double rate = capture_->get(cv::CAP_PROP_FPS);
        frameRate_ = std::isfinite(rate) && rate >= kMinFrameRate && rate <= kMaxFrameRate
                         ? rate
                         : kFallbackFrameRate;
        const double count = capture_->get(cv::CAP_PROP_FRAME_COUNT);
        if (std::isfinite(count) && count >= 1 && count < 1e12)
            announced_ = static_cast<int64_t>(count);
    }

    // Decodes the first frame now, so that a file that opens but holds no picture is refused
    // before anything is written.
    bool prefetch(std::string* error) {
        if (!decode()) {
            *error = "no video frame can be decoded from " + quotedPath(path_);
            return false;
        }
        prefetched_ = true;
        return true;
    }

    MediaKind kind() const override { return MediaKind::video; }
    double frameRate() const override { return frameRate_; }
    std::optional<int64_t> announcedFrameCount() const override { return announced_; }

    bool read(cv::Mat& bgra, double& seconds) override {
        if (prefetched_) {
            prefetched_ = false;
        } else if (ended_ || !decode()) {
            ended_ = true;
            return false;
        }
        bgra = bgra_;
        seconds = time_;
        ++delivered_;
        return true;
    }

    std::string endProblem() const override {
        if (!problem_.empty())
            return problem_;
        // Containers give their length up front; a file that stops well short of it was cut
        // off or damaged. A little slack allows for lengths that are rounded estimates.
        if (announced_ && delivered_ < *announced_ - std::max<int64_t>(2, *announced_ / 50))
            return quotedPath(path_) + " is truncated or damaged: only " +
                   std::to_string(delivered_) + " of its " + std::to_string(*announced_) +
                   " frames can be decoded";
        return {};
    }

private:
    bool decode() {
        try {
            if (!capture_->read(frame_))
                return false;
            if (!toBgra(frame_, bgra_)) {
                problem_ = "frame " + std::to_string(delivered_) + " of " + quotedPath(path_) +
                           " has a pixel format that cannot be converted";
                return false;
            }
            // The decoder's presentation time; where it has none, or goes backwards, the
            // frame's place at the nominal rate.
            const double seconds = capture_->get(cv::CAP_PROP_POS_MSEC) / 1000;
            const double next = decodedAny_ ? time_ + 1 / frameRate_ : 0;
            if (!std::isfinite(seconds) || seconds < 0 || (decodedAny_ && seconds <= time_))
                time_ = next;
            else
                time_ = seconds;
            decodedAny_ = true;
            return true;
        } catch (const cv::Exception& e) {
            problem_ = "cannot decode " + quotedPath(path_) + ": " + e.msg;
            return false;
        }
    }

    std::filesystem::path path_;
    std::unique_ptr<cv::VideoCapture> capture_;
    double frameRate_ = kFallbackFrameRate;
    std::optional<int64_t> announced_;
    cv::Mat frame_;
    cv::Mat bgra_;
    double time_ = 0;
    bool decodedAny_ = false;
    bool prefetched_ = false;
    bool ended_ = false;
    int64_t delivered_ = 0;
    std::string problem_;
};

std::unique_ptr<cv::VideoCapture> openCapture(const std::string& name, int backend) {
    try {
        auto capture = std::make_unique<cv::VideoCapture>();
        if (capture->open(name, backend) && capture->isOpened())
            return capture;
    } catch (const cv::Exception&) {
    }
    return nullptr;
}

class ImageWriter {
public:
    ImageWriter(int fd, std::string extension, std::filesystem::path target)
        : fd_(fd), extension_(std::move(extension)), target_(std::move(target)) {}

    bool write(const cv::Mat& bgra, std::string* error) {
        std::vector<uchar> bytes;
        try {
            cv::Mat bgr;
            cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
            std::vector<int> parameters;
            if (extension_ == ".jpg" || extension_ == ".jpeg")
                parameters = {cv::IMWRITE_JPEG_QUALITY, 92};
            if (!cv::imencode(extension_, bgr, bytes, parameters)) {
                *error = "cannot encode the image for " + quotedPath(target_);
                return false;
            }
        } catch (const cv::Exception& e) {
            *error = "cannot encode the image for " + quotedPath(target_) + ": " + e.msg;
            return false;
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *error =
                    "cannot write " + quotedPath(target_) + ": " + systemError(n < 0 ? errno : EIO);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_;
    std::string extension_;
    std::filesystem::path target_;
};

} // namespace

std::unique_ptr<MediaReader> MediaReader::open(const std::filesystem::path& path,
                                               std::string* error, bool videosToo) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        *error = "cannot read " + quotedPath(path) + ": " + systemError(errno);
        return nullptr;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = "cannot read " + quotedPath(path) + ": it is a directory";
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "cannot read " + quotedPath(path) + ": it is not a regular file";
        return nullptr;
    }
    const int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        *error = "cannot read " + quotedPath(path) + ": " + systemError(errno);
        return nullptr;
    }
    ::close(probe);
    if (info.st_size == 0) {
        *error = "cannot read " + quotedPath(path) + ": the file is empty";
        return nullptr;
    }

    // Decoders that take a name read some names as URLs or pipeline descriptions; an absolute
    // path is always read as a file.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) {
        *error = "cannot read " + quotedPath(path) + ": " + ec.message();
        return nullptr;
    }

    // Decoders print warnings of their own about files they still read (libpng about colour
    // profiles, for one); what matters is said once, by the caller, from *error.
    QuietStandardError quiet;
    bool image = false;
    try {
        image = cv::haveImageReader(absolute.string());
    } catch (const cv::Exception&) {
    }
    if (image) {
        cv::Mat picture;
        try {
            picture = cv::imread(absolute.string(), cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
        }
        cv::Mat bgra;
        if (!picture.empty() && !jpegIsComplete(absolute)) {
            *error = "cannot decode the image " + quotedPath(path) +
                     " (truncated: its picture data ends before the end of the image)";
            return nullptr;
        }
        if (picture.empty() || !toBgra(picture, bgra)) {
            *error = "cannot decode the image " + quotedPath(path) + " (damaged or unsupported)";
            return nullptr;
        }
        return std::make_unique<ImageReader>(std::move(bgra));
    }

    if (!videosToo) {
        error->clear();
        return nullptr;
    }
    // FFmpeg's decoders are a superset of what GStreamer's base and good plugins decode here,
    // and OpenCV's GStreamer backend reports a failed open with GLib criticals of its own, so
    // videos are read through FFmpeg only.
    if (std::unique_ptr<cv::VideoCapture> capture =
            openCapture(absolute.string(), cv::CAP_FFMPEG)) {
        auto reader = std::make_unique<VideoReader>(path, std::move(capture));
        if (!reader->prefetch(error))
            return nullptr;
        return reader;
    }
    *error = quotedPath(path) + " is not a video or image that can be decoded here";
    return nullptr;
}

bool writeImage(const TemporaryOutput& output, const cv::Mat& bgra, std::string* error) {
    ImageWriter writer(output.fd(), lowerCaseExtension(output.target().string()), output.target());
    return writer.write(bgra, error);
}

std::shared_ptr<SampleBuffer> FrameSampler::make(const cv::Mat& bgra, double seconds,
                                                 std::optional<double> duration) {
    if (!pool_ || pool_->attributes().width != bgra.cols ||
        pool_->attributes().height != bgra.rows) {
        PixelBufferPool::Attributes attributes;
        attributes.width = bgra.cols;
        attributes.height = bgra.rows;
        attributes.maxBuffers = maxBuffers_;
        pool_ = PixelBufferPool::create(attributes);
    }
    std::shared_ptr<PixelBuffer> buffer = pool_ ? pool_->createPixelBuffer() : nullptr;
    if (!buffer)
        buffer = PixelBuffer::create(bgra.cols, bgra.rows);
    if (!buffer)
        return nullptr;
    {
        PixelBufferLock lock(*buffer);
        if (!lock)
            return nullptr;
        cv::Mat destination(buffer->height(), buffer->width(), CV_8UC4, lock.data(),
                            buffer->bytesPerRow());
        bgra.copyTo(destination);
    }
    const std::optional<VideoFormatDescription> format =
        VideoFormatDescription::forImageBuffer(*buffer);
    if (!format)
        return nullptr;
    SampleTiming timing;
    timing.presentationTime = Time::fromSeconds(seconds);
    if (duration)
        timing.duration = Time::fromSeconds(*duration);
    return SampleBuffer::createReady(std::move(buffer), *format, timing);
}

} // namespace orlenta

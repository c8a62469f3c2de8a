#include "tools/orlenta_cover/cover_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace orlenta {

namespace {

// Locale-independent shortest form with the given significant digits; JSON has no NaN or
// infinity, so those become null.
void appendNumber(std::string& out, double value, int precision) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
    out.append(buffer, result.ptr);
}

std::string fixed(double value, int decimals) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}

} // namespace

std::string faceLogLine(int64_t frameIndex, double seconds, const std::vector<TrackedFace>& faces,
                        int frameWidth, int frameHeight) {
    const double width = frameWidth > 0 ? frameWidth : 1;
    const double height = frameHeight > 0 ? frameHeight : 1;
    std::string line = "{\"frame\": " + std::to_string(frameIndex) + ", \"time\": ";
    // Nine digits keep microseconds for an hour of video.
    appendNumber(line, seconds, 9);
    line += ", \"faces\": [";
    for (size_t i = 0; i < faces.size(); ++i) {
        const Rect& r = faces[i].rect;
        line += i ? ", " : "";
        line += "{\"id\": " + std::to_string(faces[i].id) + ", \"rect\": [";
        const double top = height - r.maxY();
        const double shares[] = {r.x / width, top / height, r.width / width, r.height / height};
        for (size_t v = 0; v < 4; ++v) {
            line += v ? ", " : "";
            appendNumber(line, shares[v], 6);
        }
        line += "], \"pixels\": [";
        const double left = std::floor(r.x);
        const double upper = std::floor(top);
        const double pixels[] = {left, upper, std::ceil(r.maxX()) - left,
                                 std::ceil(top + r.height) - upper};
        for (size_t v = 0; v < 4; ++v) {
            line += v ? ", " : "";
            appendNumber(line, pixels[v], 12);
        }
        line += "], \"shown\": ";
        line += faces[i].shown ? "true" : "false";
        line += "}";
    }
    line += "]}";
    return line;
}

std::string summaryLine(int64_t frames, size_t facesSeen, double elapsedSeconds) {
    const double fps = elapsedSeconds > 0 ? static_cast<double>(frames) / elapsedSeconds : 0;
    return "orlenta-cover: " + std::to_string(frames) + (frames == 1 ? " frame, " : " frames, ") +
           std::to_string(facesSeen) + (facesSeen == 1 ? " face seen, " : " faces seen, ") +
           fixed(fps, 1) + " fps";
}

ProgressLine::ProgressLine(std::FILE* stream, bool enabled, std::optional<int64_t> totalFrames,
                           BatchPosition batch)
    : stream_(stream), enabled_(enabled && stream != nullptr), total_(totalFrames), batch_(batch) {
    if (total_ && *total_ <= 0)
        total_.reset();
}

void ProgressLine::update(int64_t framesDone, double elapsedSeconds) {
    if (!enabled_)
        return;
    const bool last = total_ && framesDone >= *total_;
    if (drawn_ && !last && elapsedSeconds - lastDrawn_ < 0.1)
        return;
    lastDrawn_ = elapsedSeconds;
    drawn_ = true;

    const double fps = elapsedSeconds > 0 ? static_cast<double>(framesDone) / elapsedSeconds : 0;
    std::string text = "\r";
    const bool batch = batch_.count > 1;
    if (total_ || batch) {
        constexpr int kWidth = 30;
        const double ofFile =
            total_ ? std::clamp(static_cast<double>(framesDone) / static_cast<double>(*total_), 0.0,
                                1.0)
                   : 0.0;
        const double done = (static_cast<double>(batch_.index) + ofFile) /
                            static_cast<double>(std::max<size_t>(batch_.count, 1));
        const int filled = static_cast<int>(done * kWidth);
        text += "[" + std::string(static_cast<size_t>(filled), '#') +
                std::string(static_cast<size_t>(kWidth - filled), ' ') + "] ";
        text += std::to_string(static_cast<int>(done * 100)) + "%  ";
        if (batch)
            text += "file " + std::to_string(batch_.index + 1) + "/" +
                    std::to_string(batch_.count) + "  ";
        text += std::to_string(framesDone) +
                (total_ ? "/" + std::to_string(*total_) + " frames" : " frames");
    } else {
        text += std::to_string(framesDone) + " frames";
    }
    text += "  " + fixed(fps, 1) + " fps\x1b[K";
    std::fputs(text.c_str(), stream_);
    std::fflush(stream_);
}

void ProgressLine::clear() {
    if (!enabled_ || !drawn_)
        return;
    std::fputs("\r\x1b[K", stream_);
    std::fflush(stream_);
    drawn_ = false;
}

} // namespace orlenta

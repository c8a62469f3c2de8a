#include "tools/orlenta_cover/frame_faces.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "app/pipeline/camera_pipeline.h"
#include "app/pipeline/cover_renderer.h"

namespace orlenta {

FrameFaces::FrameFaces(std::unique_ptr<FaceDetector> detector) : detector_(std::move(detector)) {}

cv::Size FrameFaces::detectionSize(cv::Size frame) {
    if (frame.width <= 0 || frame.height <= 0)
        return frame;
    const double scale = std::min({1.0, double(CameraPipeline::kOutputWidth) / frame.width,
                                   double(CameraPipeline::kOutputHeight) / frame.height});
    if (scale >= 1)
        return frame;
    return {std::max(1, int(std::lround(frame.width * scale))),
            std::max(1, int(std::lround(frame.height * scale)))};
}

std::optional<std::vector<TrackedFace>> FrameFaces::find(const cv::Mat& bgra, double seconds) {
    if (!detector_ || bgra.empty())
        return std::nullopt;
    const cv::Size size = detectionSize(bgra.size());
    std::optional<std::vector<FaceObservation>> observations;
    if (size == bgra.size()) {
        observations = detector_->detect(bgra);
    } else {
        try {
            cv::resize(bgra, scaled_, size, 0, 0, cv::INTER_AREA);
        } catch (const cv::Exception&) {
            return std::nullopt;
        }
        observations = detector_->detect(scaled_);
    }
    if (!observations)
        return std::nullopt;
    // The detector's boxes are normalized with the origin at the bottom-left, like the frame's
    // pixel space here.
    const double width = bgra.cols;
    const double height = bgra.rows;
    std::vector<Detection> detections;
    detections.reserve(observations->size());
    for (const FaceObservation& o : *observations) {
        const Rect rect{o.boundingBox.x * width, o.boundingBox.y * height,
                        o.boundingBox.width * width, o.boundingBox.height * height};
        if (!rect.isFinite())
            continue;
        const double yaw = o.yaw.value_or(0);
        detections.push_back({rect, std::isfinite(yaw) ? yaw : 0});
    }
    return tracker_.update(detections, seconds);
}

bool FrameFaces::cover(const cv::Mat& bgra, const std::vector<TrackedFace>& faces, CoverStyle style,
                       cv::Mat& destination) {
    std::vector<Rect> hidden;
    for (const TrackedFace& face : faces)
        if (!face.shown)
            hidden.push_back(face.rect);
    return coverFaces(bgra, hidden, style, destination);
}

} // namespace orlenta

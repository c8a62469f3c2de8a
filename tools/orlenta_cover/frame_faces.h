// FrameFaces: the faces of full-size frames, found on a scaled copy and tracked in the frame's
// own pixels, and their covering at full size.
//
// The detector's passes are tuned for a frame of about 1280 x 720: a larger frame is looked at
// through a copy scaled (by area averaging) to fit in 1280 x 720; a smaller one as it is. Faces
// are tracked across frames by the app's tracker on each frame's media time, in the frame's
// pixels (origin bottom-left, y up), and the hidden ones covered on the full-size picture, so
// the output keeps every pixel of the input apart from the faces.
//
// Threads: find() on one thread at a time; cover() from any thread.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "app/pipeline/cover_style.h"
#include "app/pipeline/face_detector.h"
#include "app/tracking/face_tracker.h"

namespace orlenta {

class FrameFaces {
public:
    explicit FrameFaces(std::unique_ptr<FaceDetector> detector);

    // The size of the copy the detector looks at for a frame of the given size.
    static cv::Size detectionSize(cv::Size frame);

    // The tracked faces of one BGRA frame at `seconds` (non-decreasing), in the frame's pixels;
    // absent when detection failed on it.
    std::optional<std::vector<TrackedFace>> find(const cv::Mat& bgra, double seconds);

    // Writes the frame with its hidden faces covered into destination (same size and type, not
    // sharing memory). False when the frame cannot be covered.
    static bool cover(const cv::Mat& bgra, const std::vector<TrackedFace>& faces, CoverStyle style,
                      cv::Mat& destination);

private:
    std::unique_ptr<FaceDetector> detector_;
    FaceTracker tracker_;
    cv::Mat scaled_;
};

} // namespace orlenta

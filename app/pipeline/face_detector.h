// Face detection: the detector interface the pipeline uses, and the BlazeFace implementation
// on OpenCV's dnn module.
//
// A detector looks at one BGRA frame and reports each face it finds as a box normalized to the
// frame (0..1, origin BOTTOM-left, y up), with a yaw estimated from facial keypoints where the
// model gives them.
//
// Threads: a detector instance is used from one thread at a time (the pipeline's video queue);
// it keeps its network and scratch buffers between calls.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "media/geometry.h"

namespace orlenta {

// Facial keypoints the detector locates, named after the subject's own right and left.
enum class FaceKeypoint { rightEye, leftEye, noseTip, mouthCenter, rightEar, leftEar };

struct FaceObservation {
    Rect boundingBox; // normalized, origin bottom-left
    float confidence = 0;
    // Radians; positive = the subject turned to its own left, which in an unmirrored camera
    // picture is towards image-right (see .cpp). Absent when the keypoints do not allow it.
    std::optional<double> yaw;
    // Normalized like boundingBox, indexed by FaceKeypoint; may lie slightly outside 0..1 for a
    // face cut by the frame's edge.
    std::array<Point, 6> keypoints{};

    Point keypoint(FaceKeypoint k) const { return keypoints[static_cast<std::size_t>(k)]; }
};

class FaceDetector {
public:
    virtual ~FaceDetector() = default;
    // The faces of one BGRA (CV_8UC4) frame of any size, most confident first, or absent when
    // the frame is empty, not BGRA, or detection failed for it. Never throws.
    virtual std::optional<std::vector<FaceObservation>> detect(const cv::Mat& bgra) = 0;
};

class BlazeFaceDetector;

// Faces scoring below this are not reported. Chosen low, to find as many faces as possible at the
// price of some false ones: a missed face is a privacy leak, a false one only covers background.
inline constexpr float defaultFaceScoreThreshold = 0.3f;

// Loads the detector from the model file and runs it once on a blank frame. Absent, with a
// one-line reason in *error, when the file is missing, unreadable or not the expected network, or
// when scoreThreshold is not strictly between 0 and 1.
std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error);
std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error,
                                               float scoreThreshold);

// Where the installed or in-tree model is; the first existing of: the installed data directory,
// the source tree's models folder. Empty when neither exists.
std::string defaultFaceModelPath();

} // namespace orlenta
